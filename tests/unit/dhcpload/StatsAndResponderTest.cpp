#include "AddressText.h"
#include "LatencyStats.h"
#include "Options.h"
#include "Report.h"
#include "Responder.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

using namespace dhcpload::wire;

namespace {

TEST(LatencyStats, NearestRankPercentiles) {
    struct Case {
        std::vector<std::uint64_t> samples;
        std::uint64_t min, median, p99, max;
    };
    std::vector<std::uint64_t> hundred(100), thousand(1000);
    std::iota(hundred.rbegin(), hundred.rend(), 1); // 100 .. 1, unsorted input
    std::iota(thousand.begin(), thousand.end(), 1);
    const Case cases[] = {
        {{}, 0, 0, 0, 0},
        {{7}, 7, 7, 7, 7},
        {{9, 1}, 1, 1, 9, 9}, // lower middle; p99 of two is the larger
        {{5, 3, 4}, 3, 4, 5, 5},
        {hundred, 1, 50, 99, 100},
        {thousand, 1, 500, 990, 1000},
    };
    for (const Case &c : cases) {
        LatencyStats stats;
        for (const std::uint64_t s : c.samples) {
            stats.Add(s);
        }
        const LatencyStats::Summary summary = stats.Summarize();
        EXPECT_EQ(summary.count, c.samples.size());
        EXPECT_EQ(summary.minNs, c.min) << c.samples.size() << " samples";
        EXPECT_EQ(summary.medianNs, c.median) << c.samples.size() << " samples";
        EXPECT_EQ(summary.p99Ns, c.p99) << c.samples.size() << " samples";
        EXPECT_EQ(summary.maxNs, c.max) << c.samples.size() << " samples";
    }
}

TEST(CannedReply, AnswersDiscoverAndRequestOnly) {
    ResponderConfig config;
    config.serverMac = {0x06, 0, 0, 0, 0, 2};
    config.serverAddress = 0x0A010001;
    config.subnetMask = 0xFFFF0000;
    config.poolBase = 0x0A020000;
    CannedReply canned(config);

    struct Case {
        std::uint8_t requestType;
        std::uint8_t replyType; // 0: no reply
    };
    const Case cases[] = {{dhcp::kDiscover, dhcp::kOffer},
                          {dhcp::kRequest, dhcp::kAck},
                          {dhcp::kRelease, 0},
                          {dhcp::kDecline, 0},
                          {dhcp::kInform, 0},
                          {dhcp::kOffer, 0}};
    for (const Case &c : cases) {
        DhcpView request;
        request.op = dhcp::kBootRequest;
        request.type = c.requestType;
        request.xid = 0x01020304U + c.requestType;
        request.chaddr = {0x02, 0x00, 0x00, 0x01, 0x02, 0x03};
        const std::uint8_t *frame = nullptr;
        const std::size_t length = canned.Answer(request, frame);
        if (c.replyType == 0) {
            EXPECT_EQ(length, 0U) << int{c.requestType};
            continue;
        }
        DhcpView view;
        ASSERT_EQ(parseDhcpFrame(frame, length, dhcp::kClientPort, view), ParseStatus::kOk);
        EXPECT_EQ(view.op, dhcp::kBootReply);
        EXPECT_EQ(view.type, c.replyType);
        EXPECT_EQ(view.xid, request.xid);
        EXPECT_EQ(view.chaddr, request.chaddr);
        EXPECT_EQ(view.yiaddr, 0x0A020000U + 0x010203U);
        EXPECT_EQ(view.serverId, 0x0A010001U);
        EXPECT_EQ(view.subnetMask, 0xFFFF0000U);
        EXPECT_EQ(view.ethSource, config.serverMac);
    }
    DhcpView reply;
    reply.op = dhcp::kBootReply;
    reply.type = dhcp::kDiscover;
    const std::uint8_t *frame = nullptr;
    EXPECT_EQ(canned.Answer(reply, frame), 0U) << "a BOOTREPLY is never answered";
}

TEST(Options, ParsesAndRefuses) {
    struct Case {
        std::vector<std::string> args;
        bool ok;
    };
    const Case cases[] = {
        {{}, true},
        {{"--guests", "500", "--window", "8", "--rate", "2500.5"}, true},
        {{"--guests", "0"}, false},
        {{"--guests", "12x"}, false},
        {{"--window", "0"}, false},
        {{"--rate", "-1"}, false},
        {{"--timeout-ms"}, false},
        {{"--mac-seed", "256"}, false},
        {{"--server-ip", "10.1.0.256"}, false},
        {{"--port-mac", "02:00:00:00:00"}, false},
        {{"--bridge-reader", "select"}, false},
        {{"--frobnicate"}, false},
    };
    for (const Case &c : cases) {
        Options options;
        std::string error;
        EXPECT_EQ(parseOptions(c.args, options, error), c.ok)
            << (c.args.empty() ? "(none)" : c.args[0]) << ": " << error;
    }
    Options options;
    std::string error;
    ASSERT_TRUE(parseOptions({"--guests", "500", "--timeout-ms", "250", "--xid-base", "7",
                              "--server-ip", "192.168.50.1"},
                             options, error));
    EXPECT_EQ(options.run.book.exchanges, 500U) << "one exchange per guest by default";
    EXPECT_EQ(options.run.book.timeoutNs, 250000000U);
    EXPECT_EQ(options.run.book.xidBase, 7U);
    EXPECT_EQ(options.responder.serverAddress, 0xC0A83201U);
}

TEST(Report, FiguresCountDropsPerMessageAndFailuresPerExchange) {
    RunResult result;
    result.elapsedS = 2.0;
    result.counters.started = 10;
    result.counters.completed = 8;
    result.counters.failedTimeout = 1;
    result.counters.failedNak = 1;
    result.counters.discoversSent = 12;
    result.counters.requestsSent = 8;
    result.counters.timeouts = 5;
    const RunFigures figures = computeFigures(result);
    EXPECT_DOUBLE_EQ(figures.exchangesPerSecond, 4.0);
    EXPECT_DOUBLE_EQ(figures.dropsPercent, 25.0);
    EXPECT_DOUBLE_EQ(figures.failedExchangesPercent, 20.0);
    EXPECT_EQ(formatAddress(0x0A01FF02), "10.1.255.2");
    result.link = "odd \"name\"\n";
    const std::string json = formatJson(result);
    EXPECT_NE(json.find("\"link\": \"odd \\\"name\\\"\\u000a\""), std::string::npos) << json;
}

} // namespace
