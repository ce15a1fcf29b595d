// The connection layer on a private dbus-daemon, with the test service of
// BusTestService.cpp: what the family's service cannot be made to do. The
// scheduling itself is ClientQueueTest's, the service's life ServiceLoadTest's.

#include "ManyClients.h"
#include "ServiceHarness.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

const std::string kName = "com.fenwa.PrinterHelper.BusTest";
const std::string kInterface = kName + ".Test";

TEST(BusService, AnswersACallWhoseHandlerThrowsOrStaysSilentWithAnErrorAndGoesOn)
{
    PrivateBus bus;
    ServiceRun service({PH_BUS_TEST_SERVICE, kName, kInterface}, bus);
    ASSERT_TRUE(service.waitForName(bus, kName));
    ManyClients client(1, kName, kInterface, bus.address());
    Outcomes out;
    out.resize(3);
    const char* requests[] = {"fail", "silent", "0"};
    for (std::size_t i = 0; i < 3; ++i)
        client.call(0, "isFilePathWritable_XPC", requests[i], out.slot(i));
    ASSERT_EQ(out.waitFor(3, 5s), 3u);
    const auto got = out.all();
    EXPECT_EQ(got[0]->text, "org.freedesktop.DBus.Error.Failed");
    EXPECT_EQ(got[1]->text, "org.freedesktop.DBus.Error.Failed");
    EXPECT_TRUE(got[2]->ok);
    EXPECT_EQ(got[2]->text, "3") << "the third call of the client's own object";
}

TEST(BusService, ExitsWithStatus1WhenTheNameIsAlreadyOwned)
{
    PrivateBus bus;
    ServiceRun first({PH_BUS_TEST_SERVICE, kName, kInterface}, bus);
    ASSERT_TRUE(first.waitForName(bus, kName));
    const std::string log = "/tmp/bus_service_test." + std::to_string(getpid());
    ServiceRun second({PH_BUS_TEST_SERVICE, kName, kInterface}, bus, {}, log);
    EXPECT_EQ(second.waitForExit(5s), 1);
    std::ifstream in(log);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("already owned"), std::string::npos) << text;
    ::unlink(log.c_str());
}

}  // namespace
