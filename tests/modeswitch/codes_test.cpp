// The exit codes that no outside cause can provoke in the real program: an error of the system's
// own that is not a USB error (3), and a foreign exception (4). Run in process over the fake
// driver.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "modeswitch/modeswitch.h"
#include "tests/support/session_fixture.h"

namespace {

class ModeSwitchCodes : public bvu::test::FakeBusTest {
  protected:
    double timeScale() const override { return 0.01; }

    int run(std::vector<const char*> args, std::string* err) {
        args.insert(args.begin(), "modeswitch");
        testing::internal::CaptureStderr();
        int code =
            bvu::runModeSwitch(static_cast<int>(args.size()), const_cast<char**>(args.data()));
        *err = testing::internal::GetCapturedStderr();
        return code;
    }
};

TEST_F(ModeSwitchCodes, AnotherErrorOfTheSystemIsAnInternalError) {
    USBUtils first;  // the tool's own session then cannot be opened
    std::string err;
    EXPECT_EQ(run({"-dfu"}, &err), 3);
    // The error's own text follows on a line of its own.
    EXPECT_EQ(err, "Internal error.\nAttempt to create a second instance of class USBUtils.\n");
}

TEST_F(ModeSwitchCodes, AForeignExceptionIsAnUnknownError) {
    bus->plug(runMode());
    bus->onTransfer([](bvu::kd::TransferRequest&) -> UDA_STATUS {
        throw std::runtime_error("out of the blue");
    });
    std::string err;
    EXPECT_EQ(run({"-dfu"}, &err), 4);
    EXPECT_EQ(err, "Unknown error.\nout of the blue\n");
    EXPECT_EQ(run({"-dfu", "-silent"}, &err), 4);
    EXPECT_EQ(err, "");
    EXPECT_THROW(USBUtils::instance(), USBUtils::NotInit);  // the session went with the error
}

}  // namespace
