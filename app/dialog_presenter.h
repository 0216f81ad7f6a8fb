// DialogPresenter: the updater's dialog without its looks. It owns the dialog's state (what each
// field shows, which buttons are enabled, the status text, the progress, the open box), takes
// the user's intents (Update, Exit, NTSC, PAL, the answer to a box, Ctrl-C) and the workers'
// events, starts and joins the workers, and makes every decision of the inspection, the update
// run and the dialog. Its view (dialog_view.h) only shows the state and passes the intents on.
//
// The run, as the user sees it:
// - Opening: "Connecting to USB device."; the inspection worker brings the unit into run mode.
//   Only Exit is enabled meanwhile.
// - The unit answered: its identity and versions are read and shown beside the carried ones;
//   one question may be due (update_question.h, never in batch mode); then Update is offered
//   ("Ready to perform updates.") or not ("No updates to perform."). A unit without a complete
//   control firmware is offered the update that writes it, without a question.
// - The inspection failed: an error box that leaves the dialog usable, then "No updates
//   possible due to errors.". After Exit during the inspection, its outcome is dropped.
//   A unit that carries the owed-defaults mark (update/owed_defaults.h) shows its package as
//   "incomplete", is asked no question about its package version, and is offered the update
//   that finishes it ("The last update did not program the default values. ...").
// - Update (once per run): everything is disabled and the cursor waits while the worker runs the
//   steps of the plan (update_plan.h); at the end "All updates complete." and the package
//   version written (only to a unit that now holds every firmware of the package; otherwise a
//   second status says it was left as it was), or "Update failed." and the "Update Error" box.
//   Then only Exit and (unless the unit is still in its bootloader) NTSC and PAL are enabled.
// - Batch mode presses Update by itself after the inspection and Exit at the end. With -json no
//   box waits for a person: each takes its default answer without being shown.
// - Exit ends the dialog, except while the update runs; Escape and the close box do nothing.
// - Ctrl-C while the update runs asks first; a second one, or Yes, ends the program at once
//   (the unit is then incomplete; the next run finishes it). Anywhere else it ends it at once.
//
// Errors: an error of a device request on the main thread (the inspection's reads, NTSC, PAL,
// the package version) ends the dialog; finish() throws it for the entry code to report.
//
// Threads: everything on the main thread. The workers reach it through its queue: posted events
// and progress/status lines that wait until the main thread has taken them
// (main_thread_queue.h), which the view's loop runs through deliver(). The session is
// USBUtils::instance(); it serves one thread at a time, so the presenter makes its own device
// requests only while no worker runs.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>

#include <boost/shared_ptr.hpp>

#include "app/device_check.h"
#include "app/dialog_state.h"
#include "app/dialog_view.h"
#include "app/main_thread_queue.h"
#include "app/update_plan.h"
#include "app/update_run.h"
#include "app/update_settings.h"

class BVThread;
class RunReport;

class DialogPresenter {
  public:
    // Whether an intent was taken.
    enum class Press {
        Done,
        Disabled,  // the button is disabled, or the intent is refused in this state
        Blocked,   // a modal box is open
    };

    // view and report must outlive the presenter. json: -json (boxes answered by their default
    // without being shown; no lines for scripts beside the JSON events).
    DialogPresenter(const UpdateSettings& settings, bool json, RunReport& report, DialogView& view);
    // Closes the queue and waits for a worker that still runs.
    ~DialogPresenter();
    DialogPresenter(const DialogPresenter&) = delete;
    DialogPresenter& operator=(const DialogPresenter&) = delete;

    // The dialog has opened: its first state, and the inspection worker.
    void start();

    Press update();
    Press exit();
    Press ntsc();
    Press pal();
    // Escape or the close box.
    Press cancel();
    // The answer to the open box with this id; an answer to a box that is no longer open, or
    // that the box does not offer, is ignored.
    void answer(int boxId, Answer answer);
    // Ctrl-C.
    void interrupt();

    // Runs the workers' events that wait; called by the view's loop after wake().
    void deliver();

    const DialogState& state() const { return state_; }
    // The dialog has ended; the view's loop ends once no box is open.
    bool ended() const { return ended_; }
    // Nothing is going on: no worker runs, no box is open and no event waits. (A script's end of
    // input ends the dialog then.)
    bool idle() const;

    // After the view's loop: no more events, the worker joined, and the error that ended the
    // dialog, if any, thrown.
    void finish();
    // The update run ended with every step done and the package version written.
    bool updateSucceeded() const { return updateSucceeded_; }

  private:
    class Progress;

    void publish();
    void setStatus(const std::string& text);
    void setProgress(int percent);
    // Shows a box, or with -json answers it by its default at once. Returns its id (0: answered).
    int openBox(Box::Kind kind, const std::string& caption, const std::string& text, bool modal,
                std::function<void(Answer)> then);
    void endDialog(bool byItself);
    void startWorker(std::function<void()> work);
    void joinWorker();
    // Runs main-thread work that may make device requests; an error ends the dialog.
    void guarded(const std::function<void()>& work);

    void onInspected(const InspectionOutcome& outcome);
    void showUnit(const UnitRecord& unit);
    void concludeInspection(bool offered);
    void offerUpdate(const std::string& status);
    void afterInspection();
    void onUpdateFinished(const UpdateOutcome& outcome);
    void updateEnded(bool succeeded, bool packageDue);
    void reportUnit(const UnitRecord& unit, bool afterUpdate);
    void reportError(const std::string& text, std::exception_ptr error);
    Press setStandard(VideoStandard standard);

    const UpdateSettings settings_;
    const bool json_;
    RunReport& report_;
    DialogView& view_;
    MainThreadQueue queue_;
    std::unique_ptr<Progress> progress_;
    boost::shared_ptr<BVThread> worker_;

    DialogState state_;
    std::function<void(Answer)> boxThen_;
    int lastBoxId_ = 0;
    bool stopAsked_ = false;  // Ctrl-C during the update: the next one stops
    int stopBoxId_ = 0;       // the Ctrl-C question, while it is open

    CarriedVersions carried_;
    UnitFacts facts_;
    UnitRecord before_;
    UnitRecord after_;
    bool updateStarted_ = false;
    bool updateRunning_ = false;  // the update worker writes the unit
    bool updateSucceeded_ = false;
    bool ended_ = false;
    std::exception_ptr pendingError_;
};
