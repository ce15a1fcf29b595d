// The six entry points of the service object, called as the connection layer
// calls them: each request answers exactly once, with the reply a client
// sees. Inside scripts/sandbox --agent, since the probes send packets.
#include "NetworkSandboxMain.h"

#include "CancelWatcher.h"
#include "DescriptorBudget.h"
#include "FenwaServiceXPC.h"
#include "Protocol.h"
#include "ServiceRequests.h"
#include "TempDir.h"
#include "UniqueFd.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Entry = void (FenwaServiceXPC::*)(const std::string&, const BusReply&);

std::string contentsOf(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class EntryPoints : public ::testing::Test {
protected:
    // Every reply the entry point gave; exactly one is expected.
    std::vector<std::string> call(Entry entry, const std::string& request)
    {
        std::vector<std::string> replies;
        (service_.*entry)(request, [&](const std::string& text) { replies.push_back(text); });
        return replies;
    }
    std::string path(const std::string& name) const { return dir_.path() + "/" + name; }

    TempDir dir_;
    CancelWatcher watcher_;
    DescriptorBudget descriptors_{1024};
    FenwaServiceXPC service_{StringForm::Utf8, watcher_, descriptors_};
};

using Replies = std::vector<std::string>;

TEST_F(EntryPoints, EachAnswersItsRequestOnceAndAMalformedOneWithFalse)
{
    const char* agent = std::getenv("PH_AGENT");
    ASSERT_NE(agent, nullptr) << "needs the sandbox's printer agent";
    std::ofstream(path("cancel")) << "";
    const std::string read = "15:argCount:4:iType:0:cancelFlag:" + path("read-cancel") +
                             ":CancelFileName:1000:gSnmpTimeout:3:gSnmpRetries:0:rtnCharFlag:p0:arg:p1:arg:p2:arg:"
                             "public:arg:p4:arg:p5:arg:" + std::string(agent) + ":arg:1.3.6.1.2.1.1.5.0:arg:";
    const struct {
        const char* what;
        Entry entry;
        std::string request;
        std::string reply;
    } cases[] = {
        {"probe of a new path", &FenwaServiceXPC::isFilePathWritable_XPC, path("probe"), "TRUE"},
        {"probe of no path", &FenwaServiceXPC::isFilePathWritable_XPC, "", "FALSE"},
        {"write", &FenwaServiceXPC::writeDictionaryToPlistFile_XPC, "file://" + path("a.plist") + ":AddURL:END<dict/>",
         "TRUE"},
        {"write without a URL tag", &FenwaServiceXPC::writeDictionaryToPlistFile_XPC, path("a.plist"), "FALSE"},
        {"magic packet to loopback", &FenwaServiceXPC::sendMagicPacket_XPC,
         "127.0.0.1:ARGipAddressStr:00:1B:2C:3D:4E:5F:ARGmacAddressStr:NULL:ARGpasswordStr:", "0"},
        {"echo of loopback", &FenwaServiceXPC::sendEchoAndRecvReply_XPC, "127.0.0.1:sIpAddr:END1000", "TRUE"},
        {"echo without its tag", &FenwaServiceXPC::sendEchoAndRecvReply_XPC, "127.0.0.1,1000", "FALSE"},
        {"SNMP read of the agent", &FenwaServiceXPC::pdeSnmpGet_XPC, read, "TRUE:uResult.string=fenwa-dx5200"},
        {"SNMP read without its fields", &FenwaServiceXPC::pdeSnmpGet_XPC, "1:argCount:", "FALSE"},
        {"cancel of an existing file", &FenwaServiceXPC::cancelFileWrite_XPC, path("cancel") + ":CancelFileName:",
         "TRUE"},
        {"cancel of no file", &FenwaServiceXPC::cancelFileWrite_XPC, path("absent") + ":CancelFileName:", "FALSE"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(call(c.entry, c.request), Replies{c.reply}) << c.what;
    EXPECT_EQ(contentsOf(path("a.plist")), "<dict/>");
    EXPECT_EQ(contentsOf(path("cancel")), "\x01");
}

TEST_F(EntryPoints, TheMagicPacketReachesItsAddress)
{
    UniqueFd receiver(::socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(9);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(receiver.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(call(&FenwaServiceXPC::sendMagicPacket_XPC,
                   "127.0.0.1:ARGipAddressStr:00:1B:2C:3D:4E:5F:ARGmacAddressStr:NULL:ARGpasswordStr:"),
              Replies{"0"});
    pollfd p{receiver.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 1000), 1);
    uint8_t packet[200];
    EXPECT_EQ(::recv(receiver.get(), packet, sizeof packet, 0), 108);
    EXPECT_EQ(packet[6], 0x00);
    EXPECT_EQ(packet[7], 0x1B);
}

TEST_F(EntryPoints, AReadWhoseCancelFlagIsRaisedAnswersCancelledAtOnce)
{
    const std::string read = "15:argCount:4:iType:1:cancelFlag:" + path("c") +
                             ":CancelFileName:20000:gSnmpTimeout:3:gSnmpRetries:0:rtnCharFlag:p0:arg:p1:arg:p2:arg:"
                             "public:arg:p4:arg:p5:arg:192.0.2.77:arg:1.3.6.1.2.1.1.5.0:arg:";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(call(&FenwaServiceXPC::pdeSnmpGet_XPC, read), Replies{"FALSE:rtn_ExitValue=-1"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    // A flag of 1 stays in gCancelFlag for the reads that follow it.
    EXPECT_EQ(gCancelFlag.load(), 1);
    gCancelFlag.store(0);
}

TEST_F(EntryPoints, OverlappingReadsEachWaitTheirOwnTimeOut)
{
    // Reads of a silent host, 1,200 ms and 100 ms by turns, all let go at
    // once, in three rounds: a read that ran with the other kind's time-out
    // ends on the wrong side of 1,100 ms (a busy machine only delays the
    // short ones, and not by a second).
    constexpr int kReads = 200;
    for (int round = 0; round < 3; ++round) {
        std::vector<std::chrono::steady_clock::duration> took(kReads);
        std::atomic<bool> go{false};
        std::vector<std::thread> reads;
        for (int i = 0; i < kReads; ++i)
            reads.emplace_back([&, i] {
                const std::string read = requests::read("0", path("c" + std::to_string(i)), i % 2 ? 100 : 1200);
                while (!go)
                    std::this_thread::yield();
                const auto start = std::chrono::steady_clock::now();
                call(&FenwaServiceXPC::pdeSnmpGet_XPC, read);
                took[i] = std::chrono::steady_clock::now() - start;
            });
        go = true;
        for (auto& read : reads)
            read.join();
        for (int i = 0; i < kReads; ++i) {
            if (i % 2)
                EXPECT_LT(took[i], std::chrono::milliseconds(1100)) << "round " << round << ", a read of 100 ms";
            else
                EXPECT_GT(took[i], std::chrono::milliseconds(1100)) << "round " << round << ", a read of 1,200 ms";
        }
    }
}

TEST_F(EntryPoints, RelativeCancelFilePathsAreRefusedWhateverTheServicesFolderHolds)
{
    // The service's folder is not the caller's: a relative path is refused
    // even where it would name a file.
    std::ofstream(path("cancel")) << "";
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    const Replies refused{"FALSE"};
    EXPECT_EQ(call(&FenwaServiceXPC::pdeSnmpGet_XPC, requests::read("0", "cancel", 100)), refused);
    EXPECT_EQ(call(&FenwaServiceXPC::pdeSnmpGet_XPC, requests::read("NULL", "new", 100)), refused);
    EXPECT_EQ(call(&FenwaServiceXPC::cancelFileWrite_XPC, requests::cancel("cancel")), refused);
    std::filesystem::current_path(before);
    EXPECT_EQ(contentsOf(path("cancel")), "");
    EXPECT_FALSE(std::filesystem::exists(path("new")));
}

}  // namespace

PH_SANDBOX_MAIN()
