// Identifiers for controls.rc.
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
#define IDD_PLAIN 200
#define IDD_EXTENDED 201
#define IDI_TEST 202
#define IDC_BASE 300
#define IDC_NEXT (IDC_BASE | 1)
