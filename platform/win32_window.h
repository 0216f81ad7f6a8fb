// The Win32 window names that the updater's user interface uses.
//
// On Windows this is <windows.h> and <commctrl.h> themselves. On POSIX it declares the subset the
// program needs, implemented by the window layer in platform/window/ with the Win32 threading
// semantics:
// - A dialog runs on the thread that calls DialogBoxParamA: that thread owns the dialog and its
//   controls and pumps its own message queue until EndDialog. WM_INITDIALOG is the first message.
// - SendMessageA (and the calls built on it: SetDlgItemTextA, SetWindowTextA, EnableWindow...)
//   from another thread queues the message for the owning thread and waits until it has been
//   handled. While waiting, the sender handles messages sent to its own windows, so two threads
//   that send to each other do not deadlock. A send to a window that is destroyed while the send
//   waits returns 0.
// - PostMessageA queues and returns at once; FALSE for a window that does not exist.
// - MessageBoxA blocks only the calling thread. While it is open the calling thread keeps
//   handling the messages posted and sent to its windows (a modal loop), so a dialog that shows a
//   box of its own still serves its workers. A box owned by a dialog makes that dialog ignore user
//   input until it is closed; a box without owner leaves the dialog usable.
// - Controls keep their text, enabled state, check state, progress range and position, and
//   status-bar parts and texts. Dialogs and controls come from the program's resource script,
//   read at build time.
// - The dialog and the message boxes are shown by a terminal front end (ncurses) when standard
//   input and output are terminals, otherwise by a headless front end (see
//   platform/window/headless_driver.h). BVU_FRONTEND=terminal or headless overrides the choice.
// - The common control classes (msctls_progress32, msctls_statusbar32) exist only after
//   InitCommonControlsEx has registered them, as on Windows: a template that uses one before
//   that fails to load (DialogBoxParamA returns -1).
//
// The program supplies WinMain; on POSIX the window layer's main() (library bvu_window_main)
// calls it with the command-line arguments joined by blanks, as Windows passes them.
#pragma once

#include "platform/win32.h"

#ifdef _WIN32
#include <commctrl.h>
#else
#include <cstdint>

typedef unsigned int UINT;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef int32_t LONG;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef char* LPSTR;

typedef struct HWND__* HWND;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HICON__* HICON;
typedef HICON HCURSOR;
typedef struct HMENU__* HMENU;

#define CALLBACK
#define APIENTRY

typedef INT_PTR(CALLBACK* DLGPROC)(HWND, UINT, WPARAM, LPARAM);

#define MAKEINTRESOURCEA(i) (reinterpret_cast<LPSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#define MAKEINTRESOURCE MAKEINTRESOURCEA
#define IS_INTRESOURCE(r) ((reinterpret_cast<ULONG_PTR>(r) >> 16) == 0)
#define LOWORD(l) (static_cast<WORD>(static_cast<DWORD>(l) & 0xffff))
#define HIWORD(l) (static_cast<WORD>((static_cast<DWORD>(l) >> 16) & 0xffff))
#define LOBYTE(w) (static_cast<BYTE>(static_cast<DWORD>(w) & 0xff))
#define HIBYTE(w) (static_cast<BYTE>((static_cast<DWORD>(w) >> 8) & 0xff))
#define MAKELONG(a, b)                                            \
    (static_cast<LONG>(static_cast<DWORD>(static_cast<WORD>(a)) | \
                       (static_cast<DWORD>(static_cast<WORD>(b)) << 16)))
#define MAKEWPARAM(l, h) (static_cast<WPARAM>(static_cast<DWORD>(MAKELONG(l, h))))
#define MAKELPARAM(l, h) (static_cast<LPARAM>(static_cast<DWORD>(MAKELONG(l, h))))

// Messages.
#define WM_ENABLE 0x000A
#define WM_SETTEXT 0x000C
#define WM_GETTEXT 0x000D
#define WM_GETTEXTLENGTH 0x000E
#define WM_CLOSE 0x0010
#define WM_SETCURSOR 0x0020
#define WM_GETICON 0x007F
#define WM_SETICON 0x0080
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_MOUSEMOVE 0x0200
#define WM_LBUTTONDOWN 0x0201
#define WM_USER 0x0400

#define ICON_SMALL 0
#define ICON_BIG 1
#define HTERROR (-2)
#define HTCLIENT 1
#define HTCAPTION 2

// Buttons.
#define BM_GETCHECK 0x00F0
#define BM_SETCHECK 0x00F1
#define BM_CLICK 0x00F5
#define BN_CLICKED 0
#define BST_UNCHECKED 0x0000
#define BST_CHECKED 0x0001
#define BST_INDETERMINATE 0x0002

// Progress bar and status bar.
#define PROGRESS_CLASSA "msctls_progress32"
#define STATUSCLASSNAMEA "msctls_statusbar32"
#define PBM_SETRANGE (WM_USER + 1)
#define PBM_SETPOS (WM_USER + 2)
#define PBM_DELTAPOS (WM_USER + 3)
#define PBM_SETRANGE32 (WM_USER + 6)
#define PBM_GETPOS (WM_USER + 8)
#define SB_SETTEXTA (WM_USER + 1)
#define SB_GETTEXTA (WM_USER + 2)
#define SB_GETTEXTLENGTHA (WM_USER + 3)
#define SB_SETPARTS (WM_USER + 4)
#define SB_GETPARTS (WM_USER + 6)
#define SB_SETTEXT SB_SETTEXTA
#define SB_GETTEXT SB_GETTEXTA
#define SB_GETTEXTLENGTH SB_GETTEXTLENGTHA
#define SB_SIMPLEID 0xff

// Window, dialog and control styles.
#define WS_OVERLAPPED 0x00000000u
#define WS_POPUP 0x80000000u
#define WS_CHILD 0x40000000u
#define WS_VISIBLE 0x10000000u
#define WS_DISABLED 0x08000000u
#define WS_CLIPSIBLINGS 0x04000000u
#define WS_CLIPCHILDREN 0x02000000u
#define WS_CAPTION 0x00C00000u
#define WS_BORDER 0x00800000u
#define WS_DLGFRAME 0x00400000u
#define WS_VSCROLL 0x00200000u
#define WS_HSCROLL 0x00100000u
#define WS_SYSMENU 0x00080000u
#define WS_THICKFRAME 0x00040000u
#define WS_GROUP 0x00020000u
#define WS_TABSTOP 0x00010000u
#define WS_MINIMIZEBOX 0x00020000u
#define WS_MAXIMIZEBOX 0x00010000u
#define WS_EX_CLIENTEDGE 0x00000200u
#define WS_EX_STATICEDGE 0x00020000u
#define DS_3DLOOK 0x0004u
#define DS_SETFONT 0x0040u
#define DS_MODALFRAME 0x0080u
#define DS_CENTER 0x0800u
#define BS_PUSHBUTTON 0x00000000u
#define BS_DEFPUSHBUTTON 0x00000001u
#define BS_CHECKBOX 0x00000002u
#define BS_AUTOCHECKBOX 0x00000003u
#define BS_RADIOBUTTON 0x00000004u
#define BS_3STATE 0x00000005u
#define BS_AUTO3STATE 0x00000006u
#define BS_GROUPBOX 0x00000007u
#define BS_AUTORADIOBUTTON 0x00000009u
#define BS_TYPEMASK 0x0000000Fu
#define SS_LEFT 0x00000000u
#define SS_CENTER 0x00000001u
#define SS_RIGHT 0x00000002u
#define SS_NOTIFY 0x00000100u

// Message boxes: button sets, icons, default button, modality; and the results.
#define MB_OK 0x00000000u
#define MB_OKCANCEL 0x00000001u
#define MB_ABORTRETRYIGNORE 0x00000002u
#define MB_YESNOCANCEL 0x00000003u
#define MB_YESNO 0x00000004u
#define MB_RETRYCANCEL 0x00000005u
#define MB_CANCELTRYCONTINUE 0x00000006u
#define MB_ICONHAND 0x00000010u
#define MB_ICONQUESTION 0x00000020u
#define MB_ICONEXCLAMATION 0x00000030u
#define MB_ICONASTERISK 0x00000040u
#define MB_ICONERROR MB_ICONHAND
#define MB_ICONSTOP MB_ICONHAND
#define MB_ICONWARNING MB_ICONEXCLAMATION
#define MB_ICONINFORMATION MB_ICONASTERISK
#define MB_DEFBUTTON1 0x00000000u
#define MB_DEFBUTTON2 0x00000100u
#define MB_DEFBUTTON3 0x00000200u
#define MB_DEFBUTTON4 0x00000300u
#define MB_APPLMODAL 0x00000000u
#define MB_SYSTEMMODAL 0x00001000u
#define MB_TASKMODAL 0x00002000u
#define MB_SETFOREGROUND 0x00010000u
#define MB_TOPMOST 0x00040000u
#define MB_TYPEMASK 0x0000000Fu
#define MB_ICONMASK 0x000000F0u
#define MB_DEFMASK 0x00000F00u
#define IDOK 1
#define IDCANCEL 2
#define IDABORT 3
#define IDRETRY 4
#define IDIGNORE 5
#define IDYES 6
#define IDNO 7
#define IDCLOSE 8
#define IDHELP 9
#define IDTRYAGAIN 10
#define IDCONTINUE 11

// Images and cursors.
#define IMAGE_BITMAP 0
#define IMAGE_ICON 1
#define IMAGE_CURSOR 2
#define LR_DEFAULTCOLOR 0x0000
#define LR_SHARED 0x8000
#define IDC_ARROW MAKEINTRESOURCEA(32512)
#define IDC_IBEAM MAKEINTRESOURCEA(32513)
#define IDC_WAIT MAKEINTRESOURCEA(32514)
#define IDC_HAND MAKEINTRESOURCEA(32649)
#define IDC_APPSTARTING MAKEINTRESOURCEA(32650)

#define SW_SHOWNORMAL 1
#define SW_SHOW 5
#define SW_SHOWDEFAULT 10

// Common controls.
#define ICC_BAR_CLASSES 0x00000004
#define ICC_PROGRESS_CLASS 0x00000020
typedef struct tagINITCOMMONCONTROLSEX {
    DWORD dwSize;
    DWORD dwICC;
} INITCOMMONCONTROLSEX, *LPINITCOMMONCONTROLSEX;

// Registers the common control classes named in dwICC. FALSE (nothing registered) when dwSize is
// not sizeof(INITCOMMONCONTROLSEX). Any thread.
BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* init);

// Runs the dialog of resource templateName (an integer resource, MAKEINTRESOURCEA) modally on the
// calling thread; dialogProc receives WM_INITDIALOG with lParam = initParam first. Returns the
// value given to EndDialog, or -1 when the template does not exist, a control class is not
// registered, dialogProc is null or another dialog is already open (one dialog at a time).
// The owner window is not used.
INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR templateName, HWND owner, DLGPROC dialogProc,
                        LPARAM initParam);

// Marks the dialog ended; DialogBoxParamA returns result once the message being handled is done
// (at once if called from another thread while the dialog waits). Any thread.
BOOL EndDialog(HWND dialog, INT_PTR result);

// Delivers a message to a window and returns its result: directly on the window's own thread,
// otherwise through that thread's queue, waiting (see above). 0 for an unknown window.
LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Queues a message for the window's thread. FALSE for an unknown or null window.
BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Shows a message box and blocks the calling thread until it is answered; returns the button
// chosen (IDOK, IDYES...). owner may be null.
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

// Controls of a dialog by identifier (the first with that identifier); null when there is none.
HWND GetDlgItem(HWND dialog, int id);
int GetDlgCtrlID(HWND window);
HWND GetParent(HWND window);
BOOL IsWindow(HWND window);

// Texts (WM_SETTEXT / WM_GETTEXT sends). Get* copy at most size - 1 characters and a
// terminating zero; they return the number of characters copied.
BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text);
UINT GetDlgItemTextA(HWND dialog, int id, LPSTR buffer, int size);
BOOL SetWindowTextA(HWND window, LPCSTR text);
int GetWindowTextA(HWND window, LPSTR buffer, int size);
int GetWindowTextLengthA(HWND window);

// Enables or disables a window (handled on its thread, like a send). Returns non-zero when the
// window was disabled before the call.
BOOL EnableWindow(HWND window, BOOL enable);
// A dialog procedure's message result. Here the layer hands every dialog procedure's return value
// straight to the sender, so the stored result is not needed; kept so that the same code that
// sets it on Windows (WM_SETCURSOR) compiles. Returns the previous value (always 0).
#define DWLP_MSGRESULT 0
LONG_PTR SetWindowLongPtrA(HWND window, int index, LONG_PTR value);
BOOL IsWindowEnabled(HWND window);

// Check state of buttons (BM_SETCHECK / BM_GETCHECK sends).
BOOL CheckDlgButton(HWND dialog, int id, UINT check);
UINT IsDlgButtonChecked(HWND dialog, int id);

// Creates a child control of a dialog (class BUTTON, STATIC, msctls_progress32 or
// msctls_statusbar32; the identifier is passed as menu). The calling thread owns it. Null for an
// unknown or unregistered class, or a parent that is not a window. Top-level windows other than
// dialogs are not supported.
HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param);
// Destroys a child control made by CreateWindowExA; dialogs end with EndDialog instead.
BOOL DestroyWindow(HWND window);

// Icons of the resource script (IMAGE_ICON only) and the system cursors (instance null). The
// handles are never freed; with LR_SHARED the same request yields the same handle.
HANDLE LoadImageA(HINSTANCE instance, LPCSTR name, UINT type, int cx, int cy, UINT flags);
HICON LoadIconA(HINSTANCE instance, LPCSTR name);
HCURSOR LoadCursorA(HINSTANCE instance, LPCSTR name);

// The process's current cursor. SetCursor returns the previous one. Any thread.
HCURSOR SetCursor(HCURSOR cursor);
HCURSOR GetCursor();

// The program's own module (name null); null for any other name.
HMODULE GetModuleHandleA(LPCSTR moduleName);

// Supplied by the program.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);

#define DialogBoxParam DialogBoxParamA
#define SendMessage SendMessageA
#define PostMessage PostMessageA
#define MessageBox MessageBoxA
#define SetDlgItemText SetDlgItemTextA
#define GetDlgItemText GetDlgItemTextA
#define SetWindowText SetWindowTextA
#define GetWindowText GetWindowTextA
#define CreateWindowEx CreateWindowExA
#define LoadImage LoadImageA
#define LoadIcon LoadIconA
#define LoadCursor LoadCursorA
#define GetModuleHandle GetModuleHandleA
#endif
