#include "app/dialog_presenter.h"

#include <boost/checked_delete.hpp>

#include "app/device_advice.h"
#include "app/program_version.h"
#include "app/progress_percent.h"
#include "app/run_report.h"
#include "app/update_question.h"
#include "thread/bvthread.h"
#include "usb/usbutils.h"

namespace {

const char* const kNotFound =
    "Could not find the device using USB\n(Check that the device is properly connected)";
const char* const kIncomplete =
    "The control firmware is incomplete. Press Update to write it again.";
const char* const kIncompleteNoMicro =
    "The control firmware is incomplete. Press Update to write it again. It is written also with "
    "-nomicro.";
const char* const kFinishDefaults =
    "The last update did not program the default values. Press Update to finish it.";
const char* const kStopQuestion =
    "The device is being written. Stopping now\nleaves it incomplete; the next run of the\n"
    "update finishes it.\n\nStop the update?";

// One worker's work.
class WorkExec : public BVThread::Exec {
  public:
    explicit WorkExec(std::function<void()> work) : work_(std::move(work)) {}
    void run() override { work_(); }

  private:
    std::function<void()> work_;
};

class WorkFactory : public BVThread::ExecFactory {
  public:
    explicit WorkFactory(std::function<void()> work) : work_(std::move(work)) {}
    boost::shared_ptr<BVThread::Exec> create() override {
        return boost::shared_ptr<WorkExec>(new WorkExec(work_), boost::checked_deleter<WorkExec>());
    }

  private:
    std::function<void()> work_;
};

// The box text of a failed inspection.
std::string inspectionErrorText(std::exception_ptr error, bool batch) {
    try {
        std::rethrow_exception(error);
    } catch (const USBUtils::Error&) {
        std::string text = kNotFound;
        addUnusableDeviceAdvice(text, batch);
        return text;
    } catch (const BVExBase&) {
        return "Internal error (BVR)";
    } catch (...) {
        return "Internal error (SYS)";
    }
}

// The "Update Error" text: the cause, then what it means for the unit, then any advice about a
// driver still missing when a wait for one ran out.
std::string updateErrorText(const UpdateOutcome& outcome, bool batch) {
    std::string text;
    try {
        std::rethrow_exception(outcome.error);
    } catch (const USBUtils::Error&) {
        text =
            "The update failed due to a USB communication error.\nPlease check that all cables "
            "are properly connected.";
    } catch (const BVExBase& e) {
        text = "The update failed due to an error\n(" + e.message() + ")";
    } catch (...) {
        text = "The update failed due to an internal error.";
    }
    // Only an interrupted control firmware download can leave the unit without a working
    // control firmware; every other failure leaves it usable for another try. An interrupted
    // control firmware download leaves the start-up bit on the bootloader, and the next run
    // finds the unit there and finishes the update.
    text += outcome.inControlStep
                ? "\n\nThe device may be in an inconsistent state.\nPlease contact Brevicor "
                  "support\n\nTo finish the update, unplug the device, plug it in again\nand run "
                  "the update again."
                : "\n\nThe update may not be complete. Please un-plug\nthe device, then re-connect "
                  "it, and re-run\nthis update process";
    addUnusableDeviceAdvice(text, batch);
    return text;
}

}  // namespace

// The update worker's events, carried to the main thread; each waits until it has been taken.
class DialogPresenter::Progress : public UpdateProgress {
  public:
    explicit Progress(DialogPresenter& p) : p_(p) {}

    void stepStarted(UpdateStep step) override {
        send([this, step] {
            const std::string title = updateStepTitle(step);
            p_.state_.progressStep = title;
            p_.report_.stepStarted(title);
            // What the step writes is unknown until it is read back.
            if (step == UpdateStep::Control) {
                p_.after_.control.reset();
            } else if (step == UpdateStep::Video) {
                p_.after_.video.reset();
            }
            p_.setStatus(title);
        });
    }
    void stepProgress(UpdateStep step, float fraction) override {
        send([this, step, fraction] {
            const int percent = progressPercent(fraction);
            p_.setProgress(percent);
            p_.report_.progress(updateStepTitle(step), percent);
        });
    }
    void stepStatus(UpdateStep step, const std::string& message) override {
        send([this, step, message] {
            p_.setStatus(std::string(updateStepTitle(step)) + ": " + message);
        });
    }
    void stepEnded(UpdateStep) override {
        send([this] { p_.setProgress(0); });
    }
    void notice(const std::string& text) override {
        send([this, text] { p_.setStatus(text); });
    }
    void controlFirmwareRead(const std::string& version) override {
        send([this, version] {
            p_.after_.control = version;
            p_.state_.controlCurrent = version;
            p_.publish();
        });
    }
    void videoFirmwareRead(const std::string& version) override {
        send([this, version] {
            p_.after_.video = version;
            p_.state_.videoCurrent = version;
            p_.publish();
        });
    }
    void serialNumberRead(const std::string& serial) override {
        send([this, serial] { p_.after_.serial = "3014-00" + serial; });
    }
    void packageFieldRead(const std::string& text, bool shown) override {
        send([this, text, shown] {
            p_.after_.package = text;
            if (shown) {
                p_.state_.package = text;
                p_.publish();
            }
        });
    }

  private:
    void send(std::function<void()> work) { p_.queue_.send(std::move(work)); }
    DialogPresenter& p_;
};

DialogPresenter::DialogPresenter(const UpdateSettings& settings, bool json, RunReport& report,
                                 DialogView& view)
    : settings_(settings),
      json_(json),
      report_(report),
      view_(view),
      queue_([&view] { view.wake(); }),
      progress_(new Progress(*this)) {}

DialogPresenter::~DialogPresenter() {
    queue_.close();
    joinWorker();
}

void DialogPresenter::publish() {
    state_.defaultButton = state_.updateEnabled ? Button::Update : Button::Exit;
    view_.show(state_);
}

void DialogPresenter::setStatus(const std::string& text) {
    state_.status = text;
    ++state_.statusCount;
    publish();
    report_.status(text);
}

void DialogPresenter::setProgress(int percent) {
    state_.progress = percent;
    publish();
}

int DialogPresenter::openBox(Box::Kind kind, const std::string& caption, const std::string& text,
                             bool modal, std::function<void(Answer)> then) {
    Box box;
    box.id = ++lastBoxId_;
    box.kind = kind;
    box.caption = caption;
    box.text = text;
    box.modal = modal;
    if (json_) {
        // Nobody reads a box in a script's run: its default answer, without showing it.
        report_.box(box, box.defaultAnswer());
        then(box.defaultAnswer());
        return 0;
    }
    state_.box = box;
    boxThen_ = std::move(then);
    publish();
    return box.id;
}

void DialogPresenter::answer(int boxId, Answer answer) {
    if (!state_.box || state_.box->id != boxId || !state_.box->offers(answer)) {
        return;
    }
    const Box box = *state_.box;
    state_.box.reset();
    std::function<void(Answer)> then = std::move(boxThen_);
    boxThen_ = nullptr;
    report_.box(box, answer);
    publish();
    guarded([&] { then(answer); });
}

void DialogPresenter::endDialog(bool byItself) {
    if (ended_) {
        return;
    }
    ended_ = true;
    view_.close(byItself);
}

void DialogPresenter::guarded(const std::function<void()>& work) {
    try {
        work();
    } catch (...) {
        // The first error is the one to report; the dialog ends with it.
        if (!pendingError_) {
            pendingError_ = std::current_exception();
        }
        endDialog(true);
    }
}

void DialogPresenter::startWorker(std::function<void()> work) {
    WorkFactory factory(std::move(work));
    worker_.reset(new BVThread(factory), boost::checked_deleter<BVThread>());
}

void DialogPresenter::joinWorker() {
    boost::shared_ptr<BVThread> worker;
    worker.swap(worker_);
    if (worker) {
        worker->join();
    }
}

bool DialogPresenter::idle() const {
    return !worker_ && !state_.box && queue_.empty();
}

void DialogPresenter::deliver() {
    queue_.runPending();
}

void DialogPresenter::finish() {
    queue_.close();
    joinWorker();
    if (pendingError_) {
        std::exception_ptr error = pendingError_;
        pendingError_ = nullptr;
        std::rethrow_exception(error);
    }
}

// ---- The inspection --------------------------------------------------------------------------

void DialogPresenter::start() {
    guarded([this] {
        state_.caption = "Brevicor Update Utility " + programVersionText();
        setStatus("Connecting to USB device.");
        startWorker([this] {
            const InspectionOutcome outcome = inspectUnit();
            queue_.post([this, outcome] { guarded([&] { onInspected(outcome); }); });
        });
    });
}

void DialogPresenter::onInspected(const InspectionOutcome& outcome) {
    joinWorker();
    // After Exit during the inspection nobody waits for its outcome any more.
    if (ended_) {
        return;
    }
    switch (outcome.kind) {
        case InspectionOutcome::Kind::Failed: {
            const std::string text = inspectionErrorText(outcome.error, settings_.batchMode);
            const std::exception_ptr error = outcome.error;
            // Not modal: the dialog stays usable, and Exit ends the program at once.
            openBox(Box::Kind::Error, "Error (Brevicor Update Utility)", text, false,
                    [this, text, error](Answer) {
                        reportError(text, error);
                        if (ended_) {
                            return;
                        }
                        state_.standardEnabled = true;
                        setStatus("No updates possible due to errors.");
                        // A script has nobody to press Exit: end as after a failed update.
                        if (settings_.batchMode) {
                            endDialog(true);
                        }
                    });
            return;
        }
        case InspectionOutcome::Kind::Answered: {
            state_.standardEnabled = true;
            const InspectedUnit unit = readUnit(USBUtils::instance());
            before_ = unit.record;
            facts_ = unit.facts;
            carried_ = carriedVersions();
            showUnit(before_);
            InspectedVersions versions;
            // The questions about the package version do not concern a unit whose update is
            // unfinished.
            versions.package = facts_.defaultsOwed ? std::string() : facts_.package;
            versions.video = facts_.video;
            versions.control = facts_.control;
            versions.program = carried_.package;
            versions.carriedVideo = carried_.video;
            versions.carriedControl = carried_.control;
            const std::string question =
                settings_.batchMode ? std::string() : inspectionQuestion(versions);
            if (question.empty()) {
                concludeInspection(true);
            } else {
                openBox(Box::Kind::Question, "Confirm Update", question, true,
                        [this](Answer a) { concludeInspection(a == Answer::Yes); });
            }
            return;
        }
        case InspectionOutcome::Kind::Incomplete: {
            // The bootloader can tell neither the unit's identity nor its versions nor its video
            // standard: those fields stay empty, and NTSC and PAL stay disabled (their requests
            // need the run-mode device).
            before_ = UnitRecord();
            before_.control = "none";
            carried_ = carriedVersions();
            showUnit(before_);
            // Whether its default values are owed is known once its control firmware runs again.
            facts_ = UnitFacts();
            facts_.controlIncomplete = true;
            // No question: nothing but the update brings such a unit back.
            offerUpdate(settings_.updateControlFirmware ? kIncomplete : kIncompleteNoMicro);
            afterInspection();
            return;
        }
    }
}

void DialogPresenter::showUnit(const UnitRecord& unit) {
    state_.serial = unit.serial.value_or("");
    state_.pcbRevision = unit.pcbRevision.value_or("");
    state_.package = unit.package.value_or("");
    state_.videoCurrent = unit.video.value_or("");
    state_.controlCurrent = unit.control.value_or("");
    state_.videoUpdate = carried_.video;
    state_.controlUpdate = carried_.control;
    state_.standard = !unit.videoStandard             ? VideoStandard::None
                      : *unit.videoStandard == "NTSC" ? VideoStandard::Ntsc
                                                      : VideoStandard::Pal;
    publish();
}

void DialogPresenter::concludeInspection(bool offered) {
    if (ended_) {
        return;
    }
    if (offered) {
        const UpdatePlan plan = planUpdate(settings_, facts_, carried_);
        offerUpdate(facts_.defaultsOwed && plan.defaults == UpdatePlan::Defaults::Yes
                        ? kFinishDefaults
                        : "Ready to perform updates.");
    } else {
        setStatus("No updates to perform.");
    }
    afterInspection();
}

void DialogPresenter::offerUpdate(const std::string& status) {
    // Enabled before the status says so, so that whoever reads the status can press it.
    state_.updateEnabled = true;
    setStatus(status);
}

void DialogPresenter::afterInspection() {
    reportUnit(before_, false);
    const std::string notice = secondDeviceNotice();
    if (!notice.empty()) {
        setStatus(notice);
    }
    if (settings_.batchMode && state_.updateEnabled) {
        update();
    }
}

void DialogPresenter::reportUnit(const UnitRecord& unit, bool afterUpdate) {
    report_.device(unit, carried_, afterUpdate);
    if (!json_) {
        view_.unitRecorded(unit, carried_, afterUpdate);
    }
}

void DialogPresenter::reportError(const std::string& text, std::exception_ptr error) {
    report_.error(text, error);
    if (!json_) {
        view_.errorDetail(describeError(error).detail);
    }
}

// ---- The intents -----------------------------------------------------------------------------

DialogPresenter::Press DialogPresenter::update() {
    if (!state_.takesInput()) {
        return Press::Blocked;
    }
    // Once per run, and only when the inspection offered it.
    if (!state_.updateEnabled || updateStarted_ || ended_) {
        return Press::Disabled;
    }
    updateStarted_ = true;
    state_.updateEnabled = false;
    state_.exitEnabled = false;
    state_.standardEnabled = false;
    state_.busy = true;
    publish();

    UpdateRequest request;
    request.plan = planUpdate(settings_, facts_, carried_);
    request.carried = carried_;
    request.unit = facts_;
    request.verifyControlFirmware = settings_.verifyControlFirmware;
    request.correctionGiven = settings_.correctionGiven;
    request.correctionFactor = settings_.correctionFactor;

    after_ = before_;
    updateRunning_ = true;
    guarded([this, request] {
        startWorker([this, request] {
            const UpdateOutcome outcome = runUpdate(request, *progress_);
            queue_.post([this, outcome] { guarded([&] { onUpdateFinished(outcome); }); });
        });
    });
    return Press::Done;
}

DialogPresenter::Press DialogPresenter::exit() {
    if (!state_.takesInput()) {
        return Press::Blocked;
    }
    // Not while the update runs.
    if (!state_.exitEnabled) {
        return Press::Disabled;
    }
    endDialog(false);
    return Press::Done;
}

DialogPresenter::Press DialogPresenter::ntsc() {
    return setStandard(VideoStandard::Ntsc);
}

DialogPresenter::Press DialogPresenter::pal() {
    return setStandard(VideoStandard::Pal);
}

DialogPresenter::Press DialogPresenter::setStandard(VideoStandard standard) {
    if (!state_.takesInput()) {
        return Press::Blocked;
    }
    // Disabled while a worker uses the device: the session serves one thread at a time.
    if (!state_.standardEnabled || worker_ || ended_) {
        return Press::Disabled;
    }
    guarded([&] {
        USBUtils& usb = USBUtils::instance();
        standard == VideoStandard::Ntsc ? usb.setNTSC() : usb.setPAL();
        state_.standard = standard;
        const char* name = standard == VideoStandard::Ntsc ? "NTSC" : "PAL";
        before_.videoStandard = name;
        after_.videoStandard = name;
        publish();
    });
    return Press::Done;
}

DialogPresenter::Press DialogPresenter::cancel() {
    // Escape and the close box never end the dialog.
    return state_.takesInput() ? Press::Done : Press::Blocked;
}

void DialogPresenter::interrupt() {
    if (!updateRunning_ || stopAsked_) {
        view_.stopNow();
        return;
    }
    stopAsked_ = true;
    if (json_) {
        return;  // no box is shown with -json: the next Ctrl-C stops
    }
    stopBoxId_ = openBox(Box::Kind::Question, "Brevicor Update Utility", kStopQuestion, true,
                         [this](Answer a) {
                             if (a == Answer::Yes) {
                                 view_.stopNow();
                             }
                             stopAsked_ = false;
                         });
}

// ---- The end of the update run -----------------------------------------------------------------

void DialogPresenter::onUpdateFinished(const UpdateOutcome& outcome) {
    joinWorker();
    updateRunning_ = false;
    if (state_.box && state_.box->id == stopBoxId_) {
        // The Ctrl-C question is moot once the writing is over.
        state_.box.reset();
        boxThen_ = nullptr;
    }
    stopAsked_ = false;
    stopBoxId_ = 0;
    if (!outcome.error) {
        setStatus("All updates complete.");
        updateEnded(true, outcome.packageDue);
        return;
    }
    const std::string text = updateErrorText(outcome, settings_.batchMode);
    const std::exception_ptr error = outcome.error;
    setProgress(0);
    setStatus("Update failed.");
    openBox(Box::Kind::Error, "Update Error", text, true, [this, text, error](Answer) {
        reportError(text, error);
        updateEnded(false, false);
    });
}

void DialogPresenter::updateEnded(bool succeeded, bool packageDue) {
    state_.busy = false;
    publish();
    if (succeeded) {
        // The package version says that the unit holds this package's firmware: a run that left
        // older firmware on it (-nomicro, -nofpga) leaves the field as it was.
        if (packageDue) {
            USBUtils::instance().setFirmwareVersion(carried_.package);
            state_.package = carried_.package;
            after_.package = carried_.package;
            publish();
        } else {
            setStatus(
                "All updates complete. The package version was left as it was: the device does "
                "not hold all the firmware of package " +
                carried_.package + ".");
        }
        updateSucceeded_ = true;
    }
    reportUnit(after_, true);
    state_.exitEnabled = true;
    // A unit whose control firmware could not be written back waits in its bootloader, where
    // the video standard cannot be set.
    state_.standardEnabled = succeeded || !facts_.controlIncomplete;
    publish();
    if (settings_.batchMode) {
        endDialog(true);
    }
}
