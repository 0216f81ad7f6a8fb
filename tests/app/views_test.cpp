// The views' own parts that need no terminal and no device: the script language, the terminal's
// layout at the sizes people use (and below them), and the queue through which the workers reach
// the main thread.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "app/main_thread_queue.h"
#include "app/script_commands.h"
#include "app/terminal_screen.h"

namespace {

using Kind = ScriptCommand::Kind;

TEST(ScriptCommands, EachCommandAndItsArgument) {
    struct Case {
        const char* line;
        Kind kind;
        int control;
        const char* text;
    } cases[] = {
        {"click 1001", Kind::Click, 1001, ""},
        {"wait-status Ready to perform updates.", Kind::WaitStatus, 0, "Ready to perform updates."},
        {"wait-status Updating Video Firmware: *", Kind::WaitStatus, 0,
         "Updating Video Firmware: *"},
        {"wait-enabled 1000", Kind::WaitEnabled, 1000, ""},
        {"wait-disabled 1001", Kind::WaitDisabled, 1001, ""},
        {"close", Kind::Close, 0, ""},
        {"escape", Kind::Escape, 0, ""},
        {"", Kind::Nothing, 0, ""},
        {"  # a comment", Kind::Nothing, 0, ""},
    };
    for (const Case& c : cases) {
        ScriptCommand command;
        std::string error;
        ASSERT_TRUE(parseScriptCommand(c.line, &command, &error)) << c.line << ": " << error;
        EXPECT_EQ(command.kind, c.kind) << c.line;
        EXPECT_EQ(command.control, c.control) << c.line;
        EXPECT_EQ(command.text, c.text) << c.line;
    }
    ScriptCommand timeout;
    std::string error;
    ASSERT_TRUE(parseScriptCommand("timeout 2.5", &timeout, &error));
    EXPECT_DOUBLE_EQ(timeout.seconds, 2.5);
}

// The answers a box of the updater can take, and those that never fit one.
TEST(ScriptCommands, AnswersByNameInAnyCase) {
    ScriptCommand c;
    std::string error;
    ASSERT_TRUE(parseScriptCommand("  answer   No \r", &c, &error));
    EXPECT_EQ(c.answer, Answer::No);
    ASSERT_TRUE(parseScriptCommand("answer YES", &c, &error));
    EXPECT_EQ(c.answer, Answer::Yes);
    ASSERT_TRUE(parseScriptCommand("answer default", &c, &error));
    EXPECT_TRUE(c.defaultAnswer);
    ASSERT_TRUE(parseScriptCommand("answer tryagain", &c, &error));
    EXPECT_FALSE(c.answer);
    EXPECT_EQ(c.answerName, "Try Again");
}

TEST(ScriptCommands, BadLinesSayWhy) {
    for (const char* line :
         {"answer maybe", "answer", "click", "click -1", "click 70000", "click 10x", "wait-status",
          "timeout 0", "timeout nan", "timeout -1", "close now", "Click 1001", "press 1001"}) {
        ScriptCommand command;
        std::string error;
        EXPECT_FALSE(parseScriptCommand(line, &command, &error)) << line;
        EXPECT_FALSE(error.empty()) << line;
    }
}

TEST(ScriptCommands, StatusPatternsAndEscapes) {
    EXPECT_TRUE(statusMatches("Ready to perform updates.", "Ready to perform updates."));
    EXPECT_FALSE(statusMatches("Ready", "Ready to perform updates."));
    EXPECT_TRUE(statusMatches("The control firmware is incomplete.*",
                              "The control firmware is incomplete. Press Update to write it "
                              "again."));
    EXPECT_TRUE(statusMatches("*", ""));
    EXPECT_EQ(escapeText("a\\b\nc\rd\te\x01\x7f"), "a\\\\b\\nc\\rd\\te\\x01\\x7F");
}

DialogState readyState() {
    DialogState s;
    s.caption = "Brevicor Update Utility 2.07";
    s.serial = "3014-004711";
    s.pcbRevision = "C2.1";
    s.package = "2.05";
    s.videoCurrent = "1.01";
    s.videoUpdate = "1.02";
    s.controlCurrent = "1.09";
    s.controlUpdate = "1.12";
    s.standard = VideoStandard::Ntsc;
    s.updateEnabled = true;
    s.standardEnabled = true;
    s.defaultButton = Button::Update;
    s.status = "Ready to perform updates.";
    s.progress = 40;
    return s;
}

bool shows(const TerminalScreen& s, const std::string& text) {
    for (const std::string& row : s.text) {
        if (row.find(text) != std::string::npos)
            return true;
    }
    return false;
}

// Every field, both radio buttons and both buttons are on the screen, the focus is marked, and
// a click on each button's cells presses that button, at each size people use.
TEST(TerminalScreen, TheDialogAtEachSizeShowsEveryFieldAndFindsEveryButton) {
    const DialogState state = readyState();
    TerminalFocus focus;
    focus.button = Button::Update;
    for (auto size : {std::make_pair(100, 30), std::make_pair(80, 24), std::make_pair(60, 18),
                      std::make_pair(58, 18)}) {
        const TerminalScreen s = renderTerminalScreen(state, true, focus, size.first, size.second);
        ASSERT_FALSE(s.tooSmall) << size.first << "x" << size.second;
        ASSERT_EQ(s.text.size(), static_cast<size_t>(size.second));
        for (const std::string& row : s.text) {
            ASSERT_EQ(row.size(), static_cast<size_t>(size.first));
        }
        for (const char* text : {" Brevicor Update Utility 2.07 ",
                                 "Serial No:",
                                 "3014-004711",
                                 "PCB Revision:",
                                 "C2.1",
                                 "Current Firmware Version:",
                                 "2.05",
                                 "Video Firmware",
                                 "Control Firmware",
                                 "Current Version:",
                                 "1.01",
                                 "1.09",
                                 "Update Version:",
                                 "1.02",
                                 "1.12",
                                 "Video Standard",
                                 "(*) NTSC",
                                 "( ) PAL",
                                 " 40% ",
                                 ">[ Update ]<",
                                 "[ Exit ]",
                                 "Ready to perform updates."}) {
            EXPECT_TRUE(shows(s, text)) << text << " at " << size.first << "x" << size.second;
        }
        std::vector<Button> found;
        for (int r = 0; r < s.rows; ++r) {
            for (int c = 0; c < s.columns; ++c) {
                const TerminalScreen::Target* t = s.at(r, c);
                if (t != nullptr && !t->inBox && (found.empty() || found.back() != t->button)) {
                    found.push_back(t->button);
                    EXPECT_NE(s.text[r][c], ' ');
                }
            }
        }
        EXPECT_EQ(found,
                  (std::vector<Button>{Button::Ntsc, Button::Pal, Button::Update, Button::Exit}));
    }
}

TEST(TerminalScreen, LooksSayWhatIsDisabledFocusedAndDefault) {
    DialogState state = readyState();
    state.updateEnabled = false;
    state.defaultButton = Button::Exit;
    TerminalFocus focus;
    focus.button = Button::Exit;
    const TerminalScreen s = renderTerminalScreen(state, true, focus, 80, 24);
    auto lookOf = [&](const std::string& text) {
        for (int r = 0; r < s.rows; ++r) {
            const size_t at = s.text[r].find(text);
            if (at != std::string::npos)
                return s.look[r][at];
        }
        return '?';
    };
    EXPECT_EQ(lookOf("[ Update ]"), 'd');
    EXPECT_EQ(lookOf("[ Exit ]"), 'r');
    EXPECT_EQ(lookOf("Ready to perform"), 'r');  // the status line
    EXPECT_TRUE(shows(s, ">[ Exit ]<"));
    focus.button.reset();
    const TerminalScreen plain = renderTerminalScreen(state, true, focus, 80, 24);
    for (int r = 0; r < plain.rows; ++r) {
        const size_t at = plain.text[r].find("[ Exit ]");
        if (at != std::string::npos) {
            EXPECT_EQ(plain.look[r][at], 'b');  // the default button
        }
    }
}

// A long status wraps onto the status rows below, the longest of them whole; device texts that
// a terminal would not show as one cell each do not shift the grid.
TEST(TerminalScreen, LongStatusWrapsAndOddBytesKeepTheGrid) {
    DialogState state = readyState();
    state.status =
        "All updates complete. The package version was left as it was: the device does not hold "
        "all the firmware of package 2.07.";
    state.serial = "30\x01\xff";
    const TerminalScreen s = renderTerminalScreen(state, true, TerminalFocus(), 60, 18);
    EXPECT_TRUE(shows(s, "| All updates complete. The package version was left as "));
    EXPECT_TRUE(shows(s, "| it was: the device does not hold all the firmware of "));
    EXPECT_TRUE(shows(s, "| package 2.07. "));
    EXPECT_TRUE(shows(s, "30??"));
    for (const std::string& row : s.text) {
        EXPECT_EQ(row.size(), 60u);
    }
}

TEST(TerminalScreen, ABoxOverTheDialogTakesTheClicksOnItsButtons) {
    DialogState state = readyState();
    Box box;
    box.id = 1;
    box.kind = Box::Kind::Question;
    box.caption = "Confirm Update";
    box.text = "The unit is already up-to-date.\nDo you wish to download the firmware anyway?";
    state.box = box;
    TerminalFocus focus;
    focus.button = Button::Update;
    focus.boxAnswer = 1;  // No, the default
    const TerminalScreen s = renderTerminalScreen(state, true, focus, 60, 18);
    ASSERT_FALSE(s.tooSmall);
    EXPECT_TRUE(shows(s, " Confirm Update "));
    EXPECT_TRUE(shows(s, "(?)"));
    EXPECT_TRUE(shows(s, "Do you wish to download the firmware anyway?"));
    EXPECT_TRUE(shows(s, "[ Yes ]"));
    EXPECT_TRUE(shows(s, ">[ No ]<"));
    EXPECT_FALSE(shows(s, ">[ Update ]<"));  // the box has the keys
    std::vector<Answer> answers;
    for (int r = 0; r < s.rows; ++r) {
        for (int c = 0; c < s.columns; ++c) {
            const TerminalScreen::Target* t = s.at(r, c);
            if (t != nullptr && t->inBox && (answers.empty() || answers.back() != t->answer))
                answers.push_back(t->answer);
        }
    }
    EXPECT_EQ(answers, (std::vector<Answer>{Answer::Yes, Answer::No}));
    // Alone, as after the dialog's end or outside it.
    const TerminalScreen alone = renderTerminalScreen(state, false, focus, 60, 18);
    EXPECT_FALSE(shows(alone, "Serial No:"));
    EXPECT_TRUE(shows(alone, "[ Yes ]"));
}

TEST(TerminalScreen, ATerminalTooSmallGetsOneLineThatSaysSo) {
    for (auto size : {std::make_pair(57, 24), std::make_pair(80, 17), std::make_pair(40, 10)}) {
        const TerminalScreen s =
            renderTerminalScreen(readyState(), true, TerminalFocus(), size.first, size.second);
        EXPECT_TRUE(s.tooSmall);
        EXPECT_EQ(s.text[0].rfind("Terminal too small (58x18 needed)", 0), 0u) << s.text[0];
        for (size_t r = 1; r < s.text.size(); ++r) {
            EXPECT_EQ(s.text[r].find_first_not_of(' '), std::string::npos);
        }
        EXPECT_TRUE(s.targets.empty());
    }
    // Smaller than even the line: cut at the edge, never beyond.
    const TerminalScreen tiny = renderTerminalScreen(readyState(), true, TerminalFocus(), 5, 1);
    EXPECT_EQ(tiny.text, std::vector<std::string>{"Termi"});
}

TEST(TerminalScreen, TheSummaryIsTheDialogWithoutTrailingBlanks) {
    DialogState state = readyState();
    state.status = "All updates complete.";
    const std::vector<std::string> lines = terminalSummary(state);
    ASSERT_EQ(lines.size(), static_cast<size_t>(kTerminalDialogRows));
    EXPECT_EQ(lines.front().size(), static_cast<size_t>(kTerminalDialogColumns));
    bool complete = false;
    for (const std::string& l : lines) {
        EXPECT_TRUE(l.empty() || l.back() != ' ') << "[" << l << "]";
        complete = complete || l.find("All updates complete.") != std::string::npos;
    }
    EXPECT_TRUE(complete);
}

// A send returns once the main thread has run its work; a closed queue drops work and lets a
// waiting sender go, so a worker can never be stuck on a dialog that has ended.
TEST(MainThreadQueue, SendWaitsForTheMainThreadAndCloseReleasesIt) {
    std::atomic<int> wakes{0};
    MainThreadQueue queue([&] { ++wakes; });
    int ran = 0;  // the main thread's alone
    std::promise<bool> first;
    std::thread worker([&] { first.set_value(queue.send([&] { ++ran; })); });
    while (queue.empty()) {
        std::this_thread::yield();
    }
    EXPECT_GE(wakes.load(), 1);
    queue.runPending();
    EXPECT_TRUE(first.get_future().get());
    worker.join();
    EXPECT_EQ(ran, 1);

    std::promise<bool> second;
    std::thread late([&] { second.set_value(queue.send([&] { ++ran; })); });
    while (queue.empty()) {
        std::this_thread::yield();
    }
    queue.close();
    EXPECT_FALSE(second.get_future().get());
    late.join();
    EXPECT_FALSE(queue.post([&] { ++ran; }));
    queue.runPending();
    EXPECT_EQ(ran, 1);
}

TEST(MainThreadQueue, WorkRunsInOrderAlsoWhatItQueuesItself) {
    std::vector<int> order;
    MainThreadQueue queue([] {});
    queue.post([&] {
        order.push_back(1);
        queue.post([&] { order.push_back(3); });
    });
    queue.post([&] { order.push_back(2); });
    queue.runPending();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(queue.empty());
}

}  // namespace
