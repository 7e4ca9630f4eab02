// What the technician reads beside a port that cannot be had, and the download's progress in
// the window's title: the texts in-process, for cases a test machine cannot lay out.
#include <gtest/gtest.h>

#include "download.h"
#include "port_help.h"

namespace {

TEST(WhyOpenFailed, OneLinePerReasonAndTheListingForAPortThatIsNotThere) {
    const PortListing none;
    const PortListing present = {{"COM3 (USB Serial Port)", "COM4", "COM12"}, {}};
    const PortListing with_adapters = {
        {"COM1"},
        {"/dev/ttyUSB0 (ln -s /dev/ttyUSB0 ~/.wine/dosdevices/com2)",
         "/dev/ttyACM0 (ln -s /dev/ttyACM0 ~/.wine/dosdevices/com3)"}};
    struct Case {
        int reason;
        const PortListing& listing;
        const char* lines;
    };
    const Case cases[] = {
        {PORT_REASON_IN_USE, present, " COM7 is in use by another program.\n"},
        {PORT_REASON_NOT_SERIAL, present, " COM7 is not a serial port.\n"},
        {PORT_REASON_REFUSED, present, " COM7 refused the line settings 9600 8N1.\n"},
        {PORT_REASON_NO_RESPONSE, present,
         " COM7 is there but did not respond (a Bluetooth port out of range, or a device that is "
         "not working).\n"},
        {PORT_REASON_ABSENT, none, " There is no COM7, and no serial port is present.\n"},
        {PORT_REASON_ABSENT, present,
         " There is no COM7. Serial ports present: COM3 (USB Serial Port), COM4, COM12.\n"},
        {PORT_REASON_ABSENT, with_adapters,
         " There is no COM7. Serial ports present: COM1.\n"
         " Serial devices without a COM number: /dev/ttyUSB0 (ln -s /dev/ttyUSB0 "
         "~/.wine/dosdevices/com2), /dev/ttyACM0 (ln -s /dev/ttyACM0 ~/.wine/dosdevices/com3)\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WhyOpenFailed("COM7", c.reason, c.listing), c.lines) << c.reason;
    }
    // A port that came back between the failed open and the listing is no alternative to itself.
    EXPECT_EQ(WhyOpenFailed("COM4", PORT_REASON_ABSENT, present),
              " There is no COM4. Serial ports present: COM3 (USB Serial Port), COM12.\n");
    EXPECT_EQ(WhyOpenFailed("COM3", PORT_REASON_ABSENT, present),
              " There is no COM3. Serial ports present: COM4, COM12.\n");
}

TEST(ProgressTitle, LinesShareAndTimeLeftAtThePaceSoFar) {
    const std::string port = "\\\\.\\COM3";
    EXPECT_EQ(ProgressTitle(port, 0, 4096, 0), "k410prog: COM3 EEPROM data 0/4096 lines, 0%");
    // 1200 lines in 5 minutes: 2896 more take about 12 minutes.
    EXPECT_EQ(ProgressTitle(port, 1200, 4096, 300),
              "k410prog: COM3 EEPROM data 1200/4096 lines, 29%, about 12 min left");
    EXPECT_EQ(ProgressTitle(port, 3, 4, 0.8),
              "k410prog: COM3 EEPROM data 3/4 lines, 75%, about 1 s left");
    EXPECT_EQ(ProgressTitle(port, 4, 4, 1.1), "k410prog: COM3 EEPROM data 4/4 lines, 100%");
    EXPECT_EQ(ProgressTitle("\\\\.\\COM255", 0, 0, 0),
              "k410prog: COM255 EEPROM data 0/0 lines, 100%");
}

}  // namespace
