// The family's service and its cancel files, on a private bus inside
// scripts/sandbox: one byte, written from outside or by the cancel call,
// ends every read of the file, whatever path each read gave and whatever
// became of that path meanwhile. The reads go to a host that never answers,
// so only a cancel ends them before their time-out.

#include "ManyClients.h"
#include "NetworkSandboxMain.h"
#include "ServiceHarness.h"
#include "ServiceRequests.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Long enough that a read that missed its cancel is told from one that took
// it, short enough that a failing run ends.
constexpr long kReadTimeoutMs = 4000;

bool appendByte(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0664);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, "\x01", 1) == 1;
    ::close(fd);
    return ok;
}

// The sockets that pid holds: one more for each read that waits for its answer.
std::size_t socketsOf(pid_t pid)
{
    std::error_code error;
    std::size_t count = 0;
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error))
        count += fs::read_symlink(fd.path(), error).string().rfind("socket:", 0) == 0 ? 1 : 0;
    return count;
}

class CancelFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/ph-cancel.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        names_ = familyFrom(PH_FAMILY_DIR);
        bus_ = std::make_unique<PrivateBus>();
        service_ = std::make_unique<ServiceRun>(names_.serviceExe, *bus_);
        ASSERT_TRUE(service_->waitForName(*bus_, names_.service));
        clients_ = std::make_unique<ManyClients>(3, names_.service, names_.interface, bus_->address());
    }
    void TearDown() override
    {
        clients_.reset();
        service_.reset();
        bus_.reset();
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::string at(const std::string& name) const { return dir_ + "/" + name; }

    std::string dir_;
    FamilyNames names_;
    std::unique_ptr<PrivateBus> bus_;
    std::unique_ptr<ServiceRun> service_;
    std::unique_ptr<ManyClients> clients_;
};

TEST_F(CancelFile, OneByteEndsEveryReadOfTheFileWhateverPathItsReadsGave)
{
    struct Case {
        const char* name;
        std::string second;  // the first read names x/b
        std::string byteTo;
        std::function<void()> meanwhile;
    } cases[] = {
        {"same path", at("x/b"), at("x/b"), nullptr},
        {"with // and /./", at("x//./b"), at("x/b"), nullptr},
        {"a link, byte to its target", at("link"), at("x/b"), nullptr},
        {"a hard link made meanwhile, byte through it", at("x/b"), at("hard"),
         [&] { fs::create_hard_link(at("x/b"), at("hard")); }},
        {"folder made again", at("x/./b"), at("x/b"),
         [&] {
             fs::remove_all(at("x"));
             fs::create_directory(at("x"));
             std::ofstream(at("x/b")).flush();  // the cancel call appends only to a file that is there
         }},
    };
    for (const Case& c : cases) {
        for (const bool cancelCall : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (cancelCall ? ", through the cancel call" : ", written from outside"));
            std::error_code ignored;
            fs::remove_all(at("x"), ignored);
            fs::remove(at("hard"), ignored);
            fs::remove(at("link"), ignored);
            fs::create_directory(at("x"));
            std::ofstream(at("x/b")).flush();
            fs::create_symlink("x/b", at("link"));

            // Both reads wait for their answer once the service holds a
            // socket for each.
            const std::size_t before = socketsOf(service_->pid());
            Outcomes out;
            out.resize(2);
            clients_->call(0, requests::kRead, requests::read("0", at("x/b"), kReadTimeoutMs), out.slot(0));
            clients_->call(1, requests::kRead, requests::read("0", c.second, kReadTimeoutMs), out.slot(1));
            const auto deadline = std::chrono::steady_clock::now() + 5s;
            while (socketsOf(service_->pid()) < before + 2 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(5ms);
            ASSERT_EQ(out.waitFor(1, 0ms), 0u) << (out.all()[0] ? out.all()[0]->text : out.all()[1]->text);
            ASSERT_GE(socketsOf(service_->pid()), before + 2) << "the reads did not start";
            if (c.meanwhile)
                c.meanwhile();

            if (cancelCall) {
                const auto reply = clients_->callAndWait(2, requests::kCancel, requests::cancel(c.byteTo), 5000ms);
                ASSERT_TRUE(reply.has_value());
                EXPECT_EQ(reply->text, "TRUE");
            } else {
                ASSERT_TRUE(appendByte(c.byteTo)) << c.byteTo;
            }
            EXPECT_EQ(out.waitFor(2, 2000ms), 2u) << "a read missed the cancel";
            for (const auto& o : out.all()) {
                if (o) {
                    EXPECT_EQ(o->text, requests::kCancelled);
                }
            }
            // The names the reads gave go just after they are interrupted.
            const auto gone = [&](const std::string& path) {
                std::error_code error;
                return fs::symlink_status(path, error).type() == fs::file_type::not_found;
            };
            const auto limit = std::chrono::steady_clock::now() + 5s;
            while (!(gone(at("x/b")) && gone(c.second)) && std::chrono::steady_clock::now() < limit)
                std::this_thread::sleep_for(5ms);
            EXPECT_TRUE(gone(at("x/b")) && gone(c.second));
            out.waitFor(2, std::chrono::milliseconds(kReadTimeoutMs + 1000));  // before the next case starts
        }
    }
}

}  // namespace

PH_SANDBOX_MAIN()
