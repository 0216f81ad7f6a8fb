#include <gtest/gtest.h>

#include <cstring>

#include "usb/usbutils.h"

namespace {

class Plain : public BVExBase {};

TEST(Errors, DefaultBaseHasEmptyNonNullText) {
    Plain e;
    ASSERT_NE(e.what(), nullptr);
    EXPECT_STREQ(e.what(), "");
    EXPECT_EQ(e.message(), "");
}

TEST(Errors, TextsAndCopiesAndCatchingAsBase) {
    EXPECT_STREQ(USBUtils::Error("").what(), "USB communication error: ");
    EXPECT_EQ(USBUtils::NotInit().message(), "Class USBUtils was not properly initialised.");
    EXPECT_EQ(USBUtils::AlreadyInstantiated().message(),
              "Attempt to create a second instance of class USBUtils.");
    try {
        throw USBUtils::Error("Waiting for USB device to attach: Timeout expired");
    } catch (BVExBase& e) {
        const std::string expected =
            "USB communication error: Waiting for USB device to attach: Timeout expired";
        EXPECT_EQ(e.message(), expected);
        EXPECT_STREQ(e.what(), expected.c_str());
        BVExBase copy(e);
        EXPECT_EQ(copy.message(), expected);
    }
    // NotInit and AlreadyInstantiated are internal errors, not communication failures.
    EXPECT_FALSE((std::is_base_of<USBUtils::Error, USBUtils::NotInit>::value));
    EXPECT_FALSE((std::is_base_of<USBUtils::Error, USBUtils::AlreadyInstantiated>::value));
}

}  // namespace
