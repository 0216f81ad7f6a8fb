// What the updater's dialog shows, as its presenter (dialog_presenter.h) decides it, and what the
// run read from the unit. Plain values: the views copy and compare them, and nothing here knows
// a window system.
#pragma once

#include <optional>
#include <string>
#include <vector>

// An answer to a box.
enum class Answer { Ok, Yes, No };

// "OK", "Yes", "No": the names the lines for scripts, the JSON events and the views use.
const char* answerName(Answer answer);

// A message box, or the one question.
struct Box {
    enum class Kind {
        Error,     // an error icon and OK
        Question,  // a question icon, Yes and No; No is the default
    };
    int id = 0;  // distinct for every box of a run, so that a late answer is not taken for another
    Kind kind = Kind::Error;
    std::string caption;
    std::string text;
    // The dialog takes no input while the box is open (a box owned by the dialog). An error of
    // the inspection leaves the dialog usable, so that Exit ends the program at once.
    bool modal = true;

    // In the order they are shown.
    std::vector<Answer> answers() const;
    Answer defaultAnswer() const { return kind == Kind::Error ? Answer::Ok : Answer::No; }
    bool offers(Answer answer) const;
};

enum class VideoStandard { None, Ntsc, Pal };

// The dialog's buttons, which take the user's intents.
enum class Button { Update, Exit, Ntsc, Pal };

struct DialogState {
    std::string caption;
    // The unit as read at the inspection, and what the run has read since; "" where nothing is
    // known. The carried versions beside them.
    std::string serial;
    std::string pcbRevision;
    std::string package;
    std::string videoCurrent;
    std::string videoUpdate;
    std::string controlCurrent;
    std::string controlUpdate;
    VideoStandard standard = VideoStandard::None;

    bool updateEnabled = false;
    bool exitEnabled = true;
    bool standardEnabled = false;  // NTSC and PAL together
    // The button that Enter presses in views that draw their own focus: Update while it is
    // offered, Exit otherwise. (The Windows dialog keeps its template's own default.)
    Button defaultButton = Button::Exit;

    std::string status;
    unsigned statusCount = 0;  // grows with every status text set, also a repeated one
    int progress = 0;          // whole percent of the current step
    std::string progressStep;  // the step the bar belongs to; empty before the first
    bool busy = false;         // the update runs: the wait cursor

    std::optional<Box> box;  // the open box, if any

    bool enabled(Button button) const;
    // Whether the dialog's buttons take input now (no modal box is open).
    bool takesInput() const { return !box || !box->modal; }
};

// What the run read from the unit: at the inspection (the "before" record) or as it stands after
// the update run (the "after" record). A field that could not be read, or that the run may have
// changed without reading it back, is empty.
struct UnitRecord {
    std::optional<std::string> serial;  // "3014-004711"
    std::optional<std::string> pcbRevision;
    std::optional<std::string> videoStandard;  // "NTSC" or "PAL"
    std::optional<std::string> package;
    std::optional<std::string> video;
    std::optional<std::string> control;  // "none": the unit has no complete control firmware
};
