// CLoaderLink against a scripted loader on a pseudo-terminal: the exact bytes of every
// request, the replies each command accepts and refuses, its messages, and its timeouts.
#include "link/loader_link.h"

#include "tests/support/message_capture.h"
#include "tests/support/pty_pair.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

Bytes Sequence(uint8_t first, size_t count) {
    Bytes v(count);
    for (size_t i = 0; i < count; ++i) {
        v[i] = static_cast<uint8_t>(first + i);
    }
    return v;
}

Bytes WithChecksum(Bytes frame) {
    uint8_t sum = 0;
    for (uint8_t b : frame) {
        sum = static_cast<uint8_t>(sum + b);
    }
    frame.push_back(sum);
    return frame;
}

// ---- Frames ------------------------------------------------------------------------------

TEST(LoaderFrameTest, CheckChecksumTakesTheLengthFromTheFrameAndStaysInsideTheBuffer) {
    const uint8_t good[4] = {0x2A, 0x04, 0x49, 0x77};
    EXPECT_TRUE(CLoaderLink::CheckChecksum(good, 4));
    const uint8_t wrong[4] = {0x2A, 0x04, 0x49, 0x78};
    EXPECT_FALSE(CLoaderLink::CheckChecksum(wrong, 4));

    // A length byte beyond what was read is refused, whatever lies behind the buffer.
    const uint8_t longer[5] = {0x2A, 0x05, 0x49, 0x00, 0x78};
    EXPECT_TRUE(CLoaderLink::CheckChecksum(longer, 5));
    EXPECT_FALSE(CLoaderLink::CheckChecksum(longer, 4));
    // Too short to be a frame at all.
    const uint8_t shortFrame[3] = {0x2A, 0x03, 0x2D};
    EXPECT_FALSE(CLoaderLink::CheckChecksum(shortFrame, 3));
    EXPECT_FALSE(CLoaderLink::CheckChecksum(good, 1));
}

TEST(LoaderFrameTest, APlainSendNeedsNoPortAndDoesNotWait) {
    CLoaderLink link;
    const uint8_t text[] = {'T', 'S', 'T'};
    uint32_t received = 99;
    auto start = Clock::now();
    EXPECT_EQ(link.Exchange(text, 3, nullptr, 0, &received), 1);
    EXPECT_EQ(received, 0u);
    EXPECT_LT(MsSince(start), 50);
    EXPECT_TRUE(link.SetLoaderBaudRate(115200));
    EXPECT_FALSE(link.m_serial.IsOpen());
}

// ---- Against a scripted loader -------------------------------------------------------------

class LoaderLinkTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_pty.Ok());
        ASSERT_TRUE(m_link.Open(m_pty.SlavePath(), 19200));
    }
    void TearDown() override { EXPECT_TRUE(m_messages.Texts().empty() || m_expectMessages); }

    // The loader answers once the request has fully arrived.
    void Answer(size_t requestBytes, const Bytes& reply, int delayMs = 0) {
        m_peer.AnswerAfter(m_peer.Received().size() + requestBytes, reply, delayMs);
    }

    PtyPair m_pty;
    PtyPeer m_peer{m_pty};
    MessageCapture m_messages;
    bool m_expectMessages = false;
    CLoaderLink m_link;
};

TEST_F(LoaderLinkTest, EveryRequestGoesOutByteForByte) {
    uint32_t words[2];
    Answer(4, LoaderFrame('I', Sequence(1, 8)));
    ASSERT_TRUE(m_link.Identify(words));
    Answer(8, LoaderFrame('D', {}));
    ASSERT_TRUE(m_link.EraseSector(0x420000));
    Answer(8, LoaderFrame('D', {}));
    ASSERT_TRUE(m_link.EraseSector(0x12345678));
    ASSERT_EQ(m_link.SendKickStart(), 1);

    const Bytes expected = {
        0x2A,
        0x04,
        0x49,
        0x77,  // identify
        0x2A,
        0x08,
        0x44,
        0x00,
        0x42,
        0x00,
        0x00,
        0xB8,  // erase 0x420000
        0x2A,
        0x08,
        0x44,
        0x12,
        0x34,
        0x56,
        0x78,  // erase, address MSB first
        static_cast<uint8_t>(0x2A + 0x08 + 0x44 + 0x12 + 0x34 + 0x56 + 0x78),
        0x23,
        0x4C,  // kick-start, no frame
    };
    ASSERT_TRUE(m_peer.WaitReceived(expected.size(), 2000));
    EXPECT_EQ(m_peer.Received(), expected);
}

TEST_F(LoaderLinkTest, BaudRateRequestsFollowTheLoadersTableAndOtherRatesSendNothing) {
    const struct {
        int32_t rate;
        Bytes request;
    } table[] = {
        {1200, {0x2A, 0x05, 0x42, 0x04, 0x75}},  {2400, {0x2A, 0x05, 0x42, 0x05, 0x76}},
        {4800, {0x2A, 0x05, 0x42, 0x06, 0x77}},  {9600, {0x2A, 0x05, 0x42, 0x07, 0x78}},
        {19200, {0x2A, 0x05, 0x42, 0x08, 0x79}}, {38400, {0x2A, 0x05, 0x42, 0x09, 0x7A}},
        {57600, {0x2A, 0x05, 0x42, 0x0A, 0x7B}}, {115200, {0x2A, 0x05, 0x42, 0x0B, 0x7C}},
    };
    Bytes expected;
    for (const auto& entry : table) {
        auto start = Clock::now();
        EXPECT_TRUE(m_link.SetLoaderBaudRate(entry.rate)) << entry.rate;
        EXPECT_LT(MsSince(start), 300);  // no reply is awaited
        expected.insert(expected.end(), entry.request.begin(), entry.request.end());
        ASSERT_TRUE(m_peer.WaitReceived(expected.size(), 2000)) << entry.rate;
    }
    EXPECT_FALSE(m_link.SetLoaderBaudRate(230400));
    EXPECT_FALSE(m_link.SetLoaderBaudRate(0));
    // The refused rates sent nothing: a kick-start sent after them follows the last request.
    ASSERT_EQ(m_link.SendKickStart(), 1);
    expected.insert(expected.end(), {0x23, 0x4C});
    ASSERT_TRUE(m_peer.WaitReceived(expected.size(), 2000));
    EXPECT_EQ(m_peer.Received(), expected);
}

TEST_F(LoaderLinkTest, WriteBlockFramesTheDataWithAZeroFiller) {
    const Bytes data = Sequence(0x80, 64);
    Answer(75, LoaderFrame('F', {}));
    ASSERT_TRUE(m_link.WriteBlock(0x420000, data.data(), 64));

    Bytes expected = {0x2A, 0x4B, 0x46, 0x00, 0x42, 0x00, 0x00, 0x01, 0x20, 0x00};
    expected.insert(expected.end(), data.begin(), data.end());
    expected = WithChecksum(expected);
    ASSERT_EQ(expected.size(), 75u);
    ASSERT_TRUE(m_peer.WaitReceived(75, 2000));
    EXPECT_EQ(m_peer.Received(), expected);

    // No data: an 11-byte frame with word count 0.
    Answer(11, LoaderFrame('F', {}));
    ASSERT_TRUE(m_link.WriteBlock(0x45FFC0, nullptr, 0));
    const Bytes empty = WithChecksum({0x2A, 0x0B, 0x46, 0x00, 0x45, 0xFF, 0xC0, 0x01, 0x00, 0x00});
    ASSERT_TRUE(m_peer.WaitReceived(75 + 11, 2000));
    const Bytes all = m_peer.Received();
    EXPECT_EQ(Bytes(all.begin() + 75, all.end()), empty);
}

TEST_F(LoaderLinkTest, WriteBlockRefusesLengthsItsFrameCannotCarry) {
    const Bytes data(300, 0x11);
    EXPECT_FALSE(m_link.WriteBlock(0x420000, data.data(), 245));
    EXPECT_FALSE(m_link.WriteBlock(0x420000, data.data(), -1));
    // Nothing went out: a kick-start sent after them is all the line carries.
    ASSERT_EQ(m_link.SendKickStart(), 1);
    ASSERT_TRUE(m_peer.WaitReceived(2, 2000));
    EXPECT_EQ(m_peer.Received(), (Bytes{0x23, 0x4C}));
}

// ---- Identify replies ------------------------------------------------------------------------

TEST_F(LoaderLinkTest, IdentifyAcceptsWellFormedRepliesOfFourToThirtyBytes) {
    uint32_t words[2] = {0xDEAD, 0xBEEF};
    Answer(4, LoaderFrame('I', Sequence(0x10, 26)));  // 30 bytes
    ASSERT_TRUE(m_link.Identify(words));
    EXPECT_EQ(words[0], 0x13121110u);  // reply bytes 3..6, byte 3 least significant
    EXPECT_EQ(words[1], 0x17161514u);

    // Four bytes: byte 3 is the checksum itself, the bytes it did not carry read 0.
    Answer(4, LoaderFrame('I', {}));
    ASSERT_TRUE(m_link.Identify(words));
    EXPECT_EQ(words[0], 0x77u);
    EXPECT_EQ(words[1], 0u);
}

TEST_F(LoaderLinkTest, IdentifyRefusesTooShortTooLongAndWrongReplies) {
    uint32_t words[2];
    // Length byte 3: refused after its first two bytes, without waiting.
    Answer(4, {0x2A, 0x03, 0x2D});
    auto start = Clock::now();
    EXPECT_FALSE(m_link.Identify(words));
    EXPECT_LT(MsSince(start), 400);

    // Wrong checksum.
    Bytes bad = LoaderFrame('I', Sequence(1, 8));
    bad.back() ^= 0x01;
    Answer(4, bad);
    EXPECT_FALSE(m_link.Identify(words));
}

TEST_F(LoaderLinkTest, AnIdentifyReplyOf31BytesIsRefusedAfterItsFirstTwoBytes) {
    uint32_t words[2];
    Answer(4, LoaderFrame('I', Sequence(1, 27)));  // 31 bytes
    auto start = Clock::now();
    EXPECT_FALSE(m_link.Identify(words));
    EXPECT_LT(MsSince(start), 400);
    // The other 29 bytes were never read.
    uint8_t rest[40];
    EXPECT_EQ(m_link.Drain(rest, 29), 29u);
}

TEST_F(LoaderLinkTest, IdentifyGivesUpOnSilenceAndOnAShortReply) {
    uint32_t words[2];
    auto start = Clock::now();
    EXPECT_FALSE(m_link.Identify(words));
    EXPECT_GE(MsSince(start), 500);  // 504 ms for the first two bytes
    EXPECT_LE(MsSince(start), 3000);

    Answer(4, {0x2A, 0x0C, 0x49});  // announces 12, sends 3
    start = Clock::now();
    EXPECT_FALSE(m_link.Identify(words));
    EXPECT_GE(MsSince(start), 500);  // 2 * 10 + 500 ms for the rest
    EXPECT_LE(MsSince(start), 3000);
}

TEST_F(LoaderLinkTest, StaleBytesBeforeARequestAreNeverTakenForItsReply) {
    // A frame-like stale reply lies in the input before the request is sent.
    ASSERT_TRUE(m_pty.Send(Bytes{0x2A, 0x03, 0x00, 0x2A, 0x05}));
    ASSERT_TRUE(WaitInputQueued(m_link.m_serial.NativeHandle(), 5, 5000));
    uint32_t words[2];
    Answer(4, LoaderFrame('I', Sequence(1, 8)));
    EXPECT_TRUE(m_link.Identify(words));
    EXPECT_EQ(words[0], 0x04030201u);
}

// ---- Erase replies ---------------------------------------------------------------------------

TEST_F(LoaderLinkTest, EraseWaitsSecondsForItsReplyAndRestoresTheNormalTimeout) {
    Answer(8, LoaderFrame('D', {0x00}), 1500);  // well past the normal 504 ms
    EXPECT_TRUE(m_link.EraseSector(0x430000));

    uint8_t buffer[2];
    auto start = Clock::now();
    EXPECT_EQ(m_link.Drain(buffer, 2), 0u);
    EXPECT_LT(MsSince(start), 2500);  // 504 ms, not 4004
}

TEST_F(LoaderLinkTest, SilenceAfterAnEraseGivesSectorEraseRecFailAfterFourSeconds) {
    m_expectMessages = true;
    auto start = Clock::now();
    EXPECT_FALSE(m_link.EraseSector(0x420000));
    EXPECT_GE(MsSince(start), 4000);
    EXPECT_LE(MsSince(start), 9000);
    EXPECT_EQ(m_messages.Messages(),
              (std::vector<CapturedMessage>{{nullptr, "Sector Erase Rec fail!", "Oops"}}));
}

TEST_F(LoaderLinkTest, EraseRepliesThatAreNoWholeFrameGiveSectorEraseRecFail) {
    m_expectMessages = true;
    Answer(8, {0x2A, 0x03, 0x44});  // below the frame minimum
    EXPECT_FALSE(m_link.EraseSector(0x420000));
    Answer(8, LoaderFrame('D', Bytes(40, 0x00)));  // 44 bytes: more than the reply buffer
    EXPECT_FALSE(m_link.EraseSector(0x420000));
    EXPECT_EQ(m_messages.Messages(),
              (std::vector<CapturedMessage>{{nullptr, "Sector Erase Rec fail!", "Oops"},
                                            {nullptr, "Sector Erase Rec fail!", "Oops"}}));
}

TEST_F(LoaderLinkTest, AWholeEraseReplyWithAWrongChecksumGivesVerifyFailOnly) {
    m_expectMessages = true;
    Bytes bad = LoaderFrame('D', {0x00});
    bad.back() ^= 0x80;
    Answer(8, bad);
    EXPECT_FALSE(m_link.EraseSector(0x420000));
    EXPECT_EQ(m_messages.Messages(),
              (std::vector<CapturedMessage>{{nullptr, "Verify fail!", "Oops"}}));
}

// ---- Write-block replies ---------------------------------------------------------------------

TEST_F(LoaderLinkTest, WriteBlockNeedsFourBytesWithARightChecksum) {
    const Bytes data(64, 0xA5);
    Answer(75, {0x2A, 0x04, 0x46, 0x74});
    EXPECT_TRUE(m_link.WriteBlock(0x420000, data.data(), 64));

    Answer(75, {0x2A, 0x04, 0x46, 0x75});  // wrong checksum
    EXPECT_FALSE(m_link.WriteBlock(0x420040, data.data(), 64));

    Answer(75, {0x2A, 0x04, 0x46});  // one byte short
    auto start = Clock::now();
    EXPECT_FALSE(m_link.WriteBlock(0x420080, data.data(), 64));
    EXPECT_GE(MsSince(start), 500);  // 508 ms

    // A length byte of 5: its checksum would lie past the 4 bytes read.
    Answer(75, WithChecksum({0x2A, 0x05, 0x46, 0x00}));
    EXPECT_FALSE(m_link.WriteBlock(0x4200C0, data.data(), 64));
}

TEST_F(LoaderLinkTest, TheDestructorReleasesThePort) {
    m_link.Close();
    {
        CLoaderLink other;
        ASSERT_TRUE(other.Open(m_pty.SlavePath(), 19200));
        EXPECT_FALSE(m_link.Open(m_pty.SlavePath(), 19200));
    }
    EXPECT_TRUE(m_link.Open(m_pty.SlavePath(), 19200));
}

}  // namespace
