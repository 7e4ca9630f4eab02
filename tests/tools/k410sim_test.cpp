// The virtual analyzer run as a program: publishing its port, logging what a program sends,
// judging the pauses, noticing stale input, and stopping when told to.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "files.h"
#include "program.h"
#include "running_sim.h"

namespace {

using namespace k410test;  // the shared test harness

void SleepMs(int ms) {
    usleep(static_cast<useconds_t>(ms) * 1000);
}

// Throws, so that a port that does not open fails the test where it stands.
int OpenPortLink(const std::string& link) {
    int fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        throw std::runtime_error("cannot open " + link);
    }
    return fd;
}

// Opens the port and closes it again, `times` times, without data (a program's port check).
void OpenAndClose(const std::string& link, int times) {
    for (int i = 0; i < times; ++i) {
        close(OpenPortLink(link));
    }
}

void Send(int fd, const std::string& bytes) {
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

TEST(K410SimCommandLine, HelpAndBadOptions) {
    ProcessRun help = RunProcess({{K410SIM_PATH, "--help"}, "", "", {}, 5, true});
    EXPECT_EQ(help.status, 0);
    for (const char* option : {"--port", "--prefix", "--log", "--chatter", "--stop-after-closes",
                               "--stop-after-data", "SIGTERM"}) {
        EXPECT_TRUE(Contains(help.output, option)) << option;
    }
    for (std::vector<std::string> bad :
         std::vector<std::vector<std::string>>{{K410SIM_PATH, "--port", "0"},
                                               {K410SIM_PATH, "--port", "256"},
                                               {K410SIM_PATH, "--port", "3x"},
                                               {K410SIM_PATH, "--chatter", "-5"},
                                               {K410SIM_PATH, "--no-such-option"},
                                               {K410SIM_PATH, "stray"}}) {
        ProcessRun run = RunProcess({bad, "", "", {}, 5, true});
        EXPECT_EQ(run.status, 2) << bad.back();
    }
}

TEST(K410SimPort, PublishesTheSlaveAsComNAndWithdrawsItAtTheEnd) {
    RunningSim sim({"--port", "7"});
    sim.link = sim.prefix + "/dosdevices/com7";
    ASSERT_TRUE(sim.Ready()) << sim.Log();
    char target[256] = {};
    ASSERT_GT(readlink(sim.link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target).rfind("/dev/pts/", 0), 0u) << target;

    // The line is raw at 9600 baud before any program sets it.
    int fd = OpenPortLink(sim.link);
    termios line{};
    ASSERT_EQ(tcgetattr(fd, &line), 0);
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B9600));
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO), 0u);
    close(fd);

    sim.Stop(SIGINT);
    EXPECT_EQ(sim.status, 0);
    EXPECT_TRUE(Contains(sim.Log(), "stopped by SIGINT"));
    EXPECT_FALSE(WaitForPath(sim.link, 0)) << "link left behind";
}

TEST(K410SimPort, ScratchPrefixIsPrintedAndRemoved) {
    ScratchDir scratch;
    std::string out = scratch.path() + "/sim.out";
    pid_t pid = StartProcess({K410SIM_PATH}, out);
    std::string line;
    auto printed = [&] {
        line = LineStartingWith(ReadFile(out), "k410sim: run k410prog with WINEPREFIX=");
        return !line.empty();
    };
    WaitUntil(printed, 5000);
    std::string prefix = line.substr(line.find('=') + 1);
    prefix = prefix.substr(0, prefix.find(' '));
    ASSERT_FALSE(prefix.empty()) << ReadFile(out);
    EXPECT_TRUE(WaitForPath(prefix + "/dosdevices/com3", 5000));
    EXPECT_EQ(StopProcess(pid, SIGTERM, 5000), 0);
    EXPECT_FALSE(WaitForPath(prefix, 0)) << "scratch prefix left behind: " << prefix;
}

TEST(K410SimLines, LogsEachLineWithItsPauseAndFlagsShortOnes) {
    RunningSim sim;
    ASSERT_TRUE(sim.Ready()) << sim.Log();
    int fd = OpenPortLink(sim.link);
    Send(fd, "first line\r");
    SleepMs(300);
    Send(fd, "second line\r");
    SleepMs(60);  // far too soon
    Send(fd, "third\r");
    SleepMs(300);
    Send(fd, "bare piece");  // no line end: the quiet after it ends the line
    SleepMs(300);
    close(fd);
    sim.Stop();
    EXPECT_EQ(sim.status, 0);

    std::string log = sim.Log();
    EXPECT_TRUE(Contains(log, "\"first line\" \\r")) << log;
    EXPECT_TRUE(Contains(log, "\"bare piece\"")) << log;
    EXPECT_TRUE(Contains(log, "\"third\" \\r  << SHORT PAUSE")) << log;
    EXPECT_FALSE(Contains(log, "\"second line\" \\r  <<")) << log;
    std::string summary = sim.Summary();
    EXPECT_EQ(NumberBefore(summary, " lines"), 4) << summary;
    EXPECT_EQ(NumberBefore(summary, " bytes"), 39) << summary;
    EXPECT_EQ(NumberBefore(summary, " pauses under 250 ms"), 1) << summary;
    EXPECT_TRUE(Contains(summary, "1 opens, 1 closes")) << summary;
    EXPECT_EQ(ReadFile(sim.capture), "first line\rsecond line\rthird\rbare piece");
}

TEST(K410SimLines, JudgesTheQuietFromWhenALongLineWasOffTheWire) {
    // A pseudo-terminal takes a line at once, as a USB adapter does; at 9600 baud a 200-byte
    // line needs 209 ms on the wire. Quiet counted from the write's return is then mostly
    // spent while the analyzer still receives; counted from the write's start plus that time,
    // it is whole.
    RunningSim sim;
    ASSERT_TRUE(sim.Ready()) << sim.Log();
    int fd = OpenPortLink(sim.link);
    const std::string line = std::string(199, 'W') + "\r";
    const int wire_ms = 200 * 10 * 1000 / 9600 + 1;
    Send(fd, line);
    SleepMs(260);  // 250 ms after the driver said "sent", and a little
    Send(fd, line);
    SleepMs(wire_ms + 280);  // 250 ms after the line was off the wire, and a little
    Send(fd, line);
    SleepMs(wire_ms + 100);
    close(fd);
    sim.Stop();
    std::string log = sim.Log();
    EXPECT_TRUE(Contains(log, "<< SHORT PAUSE, begun with the line before on the wire")) << log;
    std::string summary = sim.Summary();
    EXPECT_EQ(NumberBefore(summary, " lines"), 3) << summary;
    EXPECT_EQ(NumberBefore(summary, " pauses under 250 ms"), 1) << summary;
    EXPECT_EQ(
        NumberBefore(summary, " short ones begun while the line before was still on the wire"), 1)
        << summary;
}

TEST(K410SimStop, StopsWhenThePortIsClosedAfterData) {
    RunningSim sim({"--stop-after-data"});
    ASSERT_TRUE(sim.Ready()) << sim.Log();
    // An open and close without data (the program's port check) does not stop it.
    ASSERT_NO_FATAL_FAILURE(OpenAndClose(sim.link, 1));
    int fd = OpenPortLink(sim.link);
    Send(fd, "only line\r");
    SleepMs(100);
    close(fd);
    EXPECT_EQ(StopProcess(sim.pid, 0, 5000), 0) << "did not stop by itself\n" << sim.Log();
    sim.pid = -1;
    EXPECT_TRUE(Contains(sim.Log(), "stopped: the program closed the port"));
    EXPECT_EQ(NumberBefore(sim.Summary(), " lines"), 1) << sim.Summary();
}

TEST(K410SimStop, StopsAfterTheNthClose) {
    RunningSim sim({"--stop-after-closes", "3"});
    ASSERT_TRUE(sim.Ready()) << sim.Log();
    ASSERT_NO_FATAL_FAILURE(OpenAndClose(sim.link, 2));
    SleepMs(200);
    EXPECT_EQ(StopProcess(sim.pid, 0, 0), -1) << "stopped too early";
    // The whole process group was killed by that check; start again for the real count.
    sim.pid = -1;

    RunningSim again({"--stop-after-closes", "3"});
    ASSERT_TRUE(again.Ready()) << again.Log();
    ASSERT_NO_FATAL_FAILURE(OpenAndClose(again.link, 3));
    EXPECT_EQ(StopProcess(again.pid, 0, 5000), 0) << again.Log();
    again.pid = -1;
    EXPECT_TRUE(Contains(again.Summary(), "3 opens, 3 closes, at most 1 user(s) at once"))
        << again.Summary();
}

TEST(K410SimPort, ReportsTwoUsersAtOnceAndReleasesALeftoverExclusiveMode) {
    RunningSim sim;
    ASSERT_TRUE(sim.Ready()) << sim.Log();
    // Opens and closes are watched through inotify, which merges a report into a like one the
    // analyzer has not read yet; so each step waits until the analyzer has logged the one
    // before, however slow it is to wake (a stalled log write, a loaded machine).
    int first = OpenPortLink(sim.link);
    ASSERT_TRUE(sim.WaitForLog("port opened (open 1)")) << sim.Log();
    int second = OpenPortLink(sim.link);
    ASSERT_TRUE(sim.WaitForLog("port opened (open 2) while 1 other user(s) still hold it"))
        << sim.Log();
    close(second);
    ASSERT_TRUE(sim.WaitForLog("port closed (close 1)")) << sim.Log();
    ASSERT_EQ(ioctl(first, TIOCEXCL), 0);
    close(first);  // still exclusive: a real port would not be, after its last close
    ASSERT_TRUE(sim.WaitForLog("left in exclusive mode")) << sim.Log();
    int again = OpenPortLink(sim.link);
    int exclusive = 1;
    ASSERT_EQ(ioctl(again, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    close(again);
    sim.Stop();
    EXPECT_TRUE(Contains(sim.Summary(), "3 opens, 3 closes, at most 2 user(s) at once"))
        << sim.Log();
}

TEST(K410SimChatter, ShowsWhetherStaleInputWasPurgedBeforeAWrite) {
    RunningSim sim({"--chatter", "40"});
    ASSERT_TRUE(sim.Ready()) << sim.Log();
    int fd = OpenPortLink(sim.link);
    SleepMs(300);  // the analyzer chatters into the port meanwhile
    tcflush(fd, TCIFLUSH);
    Send(fd, "purged first\r");
    SleepMs(150);  // more chatter right after the line
    Send(fd, "written over stale input\r");
    SleepMs(100);
    close(fd);
    sim.Stop();
    std::string log = sim.Log();
    EXPECT_TRUE(Contains(log, "chatter sent to the program")) << log;
    EXPECT_TRUE(Contains(log, "bytes of stale chatter discarded")) << log;
    EXPECT_TRUE(Contains(log, "stale input NOT discarded")) << log;
    EXPECT_TRUE(Contains(sim.Summary(), "1 writes over stale input")) << sim.Summary();
}

}  // namespace
