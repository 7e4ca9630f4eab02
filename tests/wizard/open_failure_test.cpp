// What the technician reads beside a port that cannot be had: the texts in-process, for cases a
// test machine cannot lay out.
#include <gtest/gtest.h>

#include "open_failure.h"

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
        // Told only where the reason has room for it; another one when null.
        const char* system_message = nullptr;
    };
    const Case cases[] = {
        {PORT_REASON_IN_USE, present, " COM7 is in use by another program.\n"},
        {PORT_REASON_NOT_SERIAL, present, " COM7 is not a serial port.\n"},
        {PORT_REASON_REFUSED, present, " COM7 refused the line settings 9600 8N1.\n"},
        {PORT_REASON_NO_RESPONSE, present,
         " COM7 is there but did not respond (a Bluetooth port out of range, or a device that is "
         "not working).\n",
         ""},
        {PORT_REASON_NO_RESPONSE, present,
         " COM7 is there but did not respond (a Bluetooth port out of range, or a device that is "
         "not working). The system says: The semaphore timeout period has expired.\n",
         "The semaphore timeout period has expired"},
        {PORT_REASON_ABSENT, none, " There is no COM7, and no serial port is present.\n"},
        {PORT_REASON_ABSENT, present,
         " There is no COM7. Serial ports present: COM3 (USB Serial Port), COM4, COM12.\n"},
        {PORT_REASON_ABSENT, with_adapters,
         " There is no COM7. Serial ports present: COM1.\n"
         " Serial devices without a COM number: /dev/ttyUSB0 (ln -s /dev/ttyUSB0 "
         "~/.wine/dosdevices/com2), /dev/ttyACM0 (ln -s /dev/ttyACM0 ~/.wine/dosdevices/com3)\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WhyOpenFailed("COM7", c.reason, c.listing,
                                c.system_message ? c.system_message : "The device is not ready"),
                  c.lines)
            << c.reason;
    }
    // A port that came back between the failed open and the listing is no alternative to itself.
    EXPECT_EQ(WhyOpenFailed("COM4", PORT_REASON_ABSENT, present),
              " There is no COM4. Serial ports present: COM3 (USB Serial Port), COM12.\n");
    EXPECT_EQ(WhyOpenFailed("COM3", PORT_REASON_ABSENT, present),
              " There is no COM3. Serial ports present: COM4, COM12.\n");
}

TEST(WhyWriteFailed, OneLineInTheFormOfTheOpenFailuresWithTheSystemsWordsWhereThereAreSome) {
    const std::pair<int, std::string> cases[] = {
        {PORT_REASON_GONE, " COM3 went away: the USB adapter was unplugged or stopped working."},
        {PORT_REASON_STALLED,
         " COM3 stopped taking data: the line stalled (check the cable, and "
         "that the analyzer is on)."},
        {PORT_REASON_NONE, " COM3 did not take the data."}};
    for (const auto& c : cases) {
        EXPECT_EQ(WhyWriteFailed("COM3", c.first, ""), c.second + "\n");  // our own bound
        EXPECT_EQ(WhyWriteFailed("COM3", c.first, "The device does not recognize the command"),
                  c.second + " The system says: The device does not recognize the command.\n");
    }
}

}  // namespace
