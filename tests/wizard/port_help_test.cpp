// What the technician reads beside a port that cannot be had: the texts in-process, for cases a
// test machine cannot lay out.
#include <gtest/gtest.h>

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

}  // namespace
