#include <gtest/gtest.h>

#include "usb/uda_status.h"

TEST(StatusText, KnownUnknownAndEdges) {
    EXPECT_STREQ(statusText(0x20000015), "Timeout expired");
    EXPECT_STREQ(statusText(0x12345678), "Unrecognized error code");
    EXPECT_STREQ(statusText(0), "Success");
    EXPECT_STREQ(statusText(0xFFFFFFFF), "Invalid USB driver handle");
    EXPECT_STREQ(statusText(0x20000009), "Unrecognized error code");  // the gap in the table
    EXPECT_STREQ(statusText(0x20000022), "Too many handles");
    EXPECT_STREQ(statusText(0x20000023), "Unrecognized error code");
    EXPECT_STREQ(statusText(0xC0000002), "HC status: Bit stuffing ");  // trailing blank kept
    EXPECT_STREQ(statusText(0xC000000E), "Unrecognized error code");
    EXPECT_STREQ(statusText(0xC0000030), "HCD: Trasnfer submitted to stalled endpoint");
    EXPECT_STREQ(statusText(0x80000900), "USBD: Trasnfer terminated with short packet");
    EXPECT_STREQ(statusText(0xC0000D00),
                 "USBD: Attemped operation on frame length control not owned by caller");
}

TEST(StatusText, RunsOfTheTableAreInOrder) {
    const char* first[] = {"Error",
                           "Invalid handle",
                           "Invalid pipe number",
                           "Conflict between read and write operations",
                           "Packet size is zero",
                           "Insufficient resources",
                           "Unknown pipe type",
                           "Internal system error",
                           "Data mismatch"};
    for (uint32_t i = 0; i < 9; ++i) EXPECT_STREQ(statusText(0x20000000 + i), first[i]);
    const char* usbd[] = {"USBD: Out of memory", "USBD: Invalid URB function",
                          "USBD: Invalid parameter"};
    for (uint32_t i = 0; i < 3; ++i) EXPECT_STREQ(statusText(0x80000100 + 0x100 * i), usbd[i]);
    EXPECT_STREQ(statusText(0x2000000F), "Device not found");
    EXPECT_STREQ(statusText(0x2000001C), "Incorrect USB driver version installed");
    EXPECT_STREQ(statusText(0xC0000004), "HC status: PID stall");
}
