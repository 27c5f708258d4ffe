#include "acquisition/Session.h"
#include "support/RecordingListener.h"

#include <gtest/gtest.h>

using namespace kelvara;

TEST(SessionWin32, AMissingPortIsToldInTheSystemsWords)
{
    TSession session(TSessionConfig{});
    test::TRecordingListener events;
    // COM250 exists on no machine the tests run on; no port is opened.
    session.Connect({"COM250", "19200", "even"});
    const TConnectResult result = events.ConnectResult(session);
    EXPECT_EQ(result.Kind, TConnectResult::NotOpened);
    EXPECT_NE(result.Code, 0);
    EXPECT_FALSE(result.Reason.empty());
    EXPECT_EQ(result.Message(), "Cannot open port \"\\\\.\\COM250\". " + result.Reason)
        << "no group to join on Windows";
}
