#include "acquisition/Session.h"

#include "base/Errors.h"
#include "serial/SerialChannel.h"

#include <gtest/gtest.h>

using namespace kelvara;

namespace {

class TQuietHost : public TScanHost {
public:
    void ShowTime(const std::string&) override {}
    void SetListLine(int, const std::string&) override {}
    void AppendLogLine(const std::string&) override {}
    bool OffsetCorrection() override { return false; }
    void ProcessMessages() override {}
    void Sleep(int) override {}
    void Notice(const std::string&) override {}
};

} // namespace

TEST(SessionWin32, NoSimulatedBusAndAMissingPortIsTold)
{
    TQuietHost host;
    TSession session(TLocaleSettings{}, host);
    try {
        session.StartSimulatedBus(19200);
        ADD_FAILURE() << "no exception";
    } catch (const EError& e) {
        EXPECT_STREQ(e.what(), "no simulated bus on this platform");
    }
    // COM250 exists on no machine the tests run on; no port is opened.
    const TConnectResult result = session.Connect(TSession::DevicePathOf("COM250"), 19200, 'e');
    EXPECT_EQ(result.Kind, TConnectResult::NotOpened);
    EXPECT_NE(result.Code, 0);
    EXPECT_EQ(result.Reason, TSerialChannel::GetErrorDesc(result.Code));
    EXPECT_EQ(result.Message(), "Cannot open port \"\\\\.\\COM250\". " + result.Reason)
        << "no group to join on Windows";
    EXPECT_FALSE(session.Ser().InstanceActive());
}
