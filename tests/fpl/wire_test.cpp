// The wire scenarios: the engine against the boot loader simulator on a virtual clock.
#include "Format.h"
#include "Harness.h"
#include "Paths.h"
#include "StreamFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

using namespace fpltest;
using zem::sim::BootSim;
using zem::sim::Nack;
using zem::sim::ReadBack;
using zem::sim::SimOptions;
using zem::sim::StreamLayout;

namespace {

struct Arrange {
    StreamLayout layout = DefaultLayout();
    SimOptions sim;
    std::string speed = "115200";
    std::string port = "COM1";
    int32_t channelLevel = 0;
    std::function<void(Harness&)> before; // after construction, before Program
};

struct WireCase {
    const char* name;
    std::function<void(Arrange&)> arrange;
    bool fails;
    std::function<std::vector<std::string>(const Harness&)> failLines; // exact Fail records
    std::function<void(Harness&)> check;
};

std::vector<uint32_t> RecordSpeeds(const Harness& h) {
    return h.Sim([](const BootSim& s) {
        std::vector<uint32_t> v;
        for (const auto& r : s.Records())
            v.push_back(r.received ? r.speed : 0);
        return v;
    });
}

uint32_t Received(const Harness& h, size_t record) {
    return h.Sim([&](const BootSim& s) { return s.Records()[record - 1].received; });
}

size_t Count(const std::string& hay, const std::string& needle) {
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1))
        ++n;
    return n;
}

// The gaps between sync bytes, in virtual milliseconds.
void ExpectSyncGaps(const Harness& h, uint32_t atLeast, uint32_t atMost) {
    auto times = h.Sim([](const BootSim& s) { return s.SyncTimes(); });
    for (size_t i = 1; i < times.size(); ++i) {
        EXPECT_GE(times[i] - times[i - 1], atLeast);
        EXPECT_LE(times[i] - times[i - 1], atMost);
    }
}

bool Passed(const Harness& h) {
    return h.Sim([](const BootSim& s) { return s.Passed(); });
}

bool Contains(const std::vector<std::string>& lines, const std::vector<std::string>& run) {
    return std::search(lines.begin(), lines.end(), run.begin(), run.end()) != lines.end();
}

std::vector<std::string> Ok(const Harness&) {
    return {};
}

std::vector<std::string> BootFailed(const std::string& why) {
    return why.empty() ? std::vector<std::string>{"TFPL::Can not boot"}
                       : std::vector<std::string>{why, "TFPL::Can not boot"};
}

std::vector<std::string> SendFailed(const std::string& why) {
    return {why, "TFPL::Program can not send stream"};
}

std::vector<std::string> ReadBackFailed(const Harness& h, const std::string& why, size_t rec) {
    return {why, "FPL_SendStream error " + h.RangeOf(rec) + ", ReceiveData to Read.bin",
            "TFPL::Program can not send stream"};
}

ReadBack Words(std::vector<uint16_t> words) {
    ReadBack rb;
    rb.words = static_cast<uint32_t>(words.size());
    rb.data = std::move(words);
    return rb;
}

const std::vector<WireCase> kCases = {
    {"LinksAtFirstAttempt", nullptr, false, Ok,
     [](Harness& h) {
         ASSERT_GE(h.calls.size(), 3u);
         EXPECT_EQ(std::vector<Call>(h.calls.begin(), h.calls.begin() + 3),
                   (std::vector<Call>{{1, 0}, {8, 100}, {2, 100}}));
         EXPECT_EQ(h.calls.back(), (Call{4, 100}));
         EXPECT_EQ(h.Sim([](const BootSim& s) { return s.SyncBytes(); }), 1u);
         EXPECT_TRUE(Passed(h));
     }},
    {"LinksAtFifthAttempt", [](Arrange& a) { a.sim.skipSync = 4; }, false, Ok,
     [](Harness& h) {
         EXPECT_EQ(h.Values(1), (std::vector<int>{0, 0, 100, 0, 100}));
         EXPECT_EQ(h.Sim([](const BootSim& s) { return s.SyncBytes(); }), 5u);
         ExpectSyncGaps(h, 50, 55);
         EXPECT_TRUE(Passed(h));
     }},
    {"NackThenLink", [](Arrange& a) { a.sim.nackSync = 1; }, false, Ok,
     [](Harness& h) {
         EXPECT_TRUE(Contains(TraceBodies("Debug"), {"WaitForACK NACK (0x41)", "DbgAnsw: 0x01",
                                                     "DbgAnsw: 0x02", "WaitForACK OK (0xA5)"}));
         EXPECT_EQ(h.Values(1), (std::vector<int>{0, 0}));
         EXPECT_EQ(h.Sim([](const BootSim& s) { return s.SyncBytes(); }), 2u);
         EXPECT_TRUE(Passed(h));
     }},
    // A line whose answers come later than the handshake's wait: the answer linked on belongs
    // to an earlier sync byte. Each record's answer must still be that record's own.
    {"LateAnswersRefusingTheLastRecordFail",
     [](Arrange& a) {
         a.sim.answerDelayMs = 70;
         a.sim.syncUntilData = true;
         a.sim.nacks[5] = Nack{0x41, {0x01, 0x02}};
     },
     true, [](const Harness& h) { return SendFailed("FPL_SendStream error rx " + h.RangeOf(5)); },
     [](Harness& h) {
         EXPECT_EQ(h.Sim([](const BootSim& s) { return s.SyncAfterLink(); }), 1u);
         EXPECT_TRUE(Contains(TraceBodies("Debug"),
                              {"WaitForACK NACK (0x41)", "DbgAnsw: 0x01", "DbgAnsw: 0x02"}));
         EXPECT_EQ(h.Values(4).size(), 0u);
     }},
    {"LateAnswersAcceptedInStep",
     [](Arrange& a) {
         a.sim.answerDelayMs = 70;
         a.sim.syncUntilData = true;
     },
     false, Ok,
     [](Harness& h) {
         EXPECT_EQ(h.Sim([](const BootSim& s) { return s.SyncAfterLink(); }), 1u);
         EXPECT_TRUE(Passed(h));
         EXPECT_TRUE(
             Contains(TraceBodies("Log"), {"FPL_Boot 1 late answers to earlier sync bytes taken"}));
     }},
    {"FarLateAnswersAcceptedInStep",
     [](Arrange& a) {
         a.sim.answerDelayMs = 400; // eight sync bytes out before the first answer
         a.sim.syncUntilData = true;
         a.sim.readBacks[2].words = 4;
     },
     false, Ok,
     [](Harness& h) {
         EXPECT_GE(h.Sim([](const BootSim& s) { return s.SyncAfterLink(); }), 7u);
         EXPECT_TRUE(Passed(h));
     }},
    {"BootType3LateBy30RefusingTheLastRecordFails",
     [](Arrange& a) {
         a.layout.bootType = 3;
         a.sim.answerDelayMs = 30;
         a.sim.syncUntilData = true;
         a.sim.nacks[5] = Nack{0x41, {}};
     },
     true, [](const Harness& h) { return SendFailed("FPL_SendStream error rx " + h.RangeOf(5)); },
     nullptr},
    // A loader that takes late sync bytes as record data cannot be linked in step; the run must
    // fail, whatever it fails on.
    {"LateAnswersToALoaderThatTakesSyncBytesAsData", [](Arrange& a) { a.sim.answerDelayMs = 70; },
     true, [](const Harness& h) { return SendFailed("FPL_SendStream error rx " + h.RangeOf(1)); },
     [](Harness& h) { EXPECT_FALSE(Passed(h)); }},
    // Out of step and no sync answers to tell: the answer to the last record comes after its ACK
    // was taken from the one before.
    {"AnAnswerAfterTheLastRecordIsOutOfStep",
     [](Arrange& a) {
         a.before = [](Harness& h) {
             h.hook = [&h, records = 0](uint8_t code, int32_t) mutable {
                 if (code == 3 && ++records == 5) {
                     // An extra acknowledgement on its way, as a loader one answer behind sends.
                     h.clock.onSleep = [&h, sent = false](uint32_t) mutable {
                         if (!sent) h.channel->InjectAnswer(0xA5);
                         sent = true;
                     };
                 }
             };
         };
     },
     true,
     [](const Harness&) {
         return SendFailed("FPL_SendStream answers out of step with the records");
     },
     [](Harness& h) {
         EXPECT_EQ(h.Values(4).size(), 0u);
         EXPECT_TRUE(h.fpl->AnswersOutOfStep());
     }},
    // A refusal's diagnostic bytes come a character time apart: all of them are the refusal's,
    // and the next sync byte waits for the line to be quiet.
    {"RefusedSyncBytesWithTimedDiagnostics",
     [](Arrange& a) {
         a.sim.nackSync = 5;
         a.sim.answerByteGapMs = 1;
         a.sim.syncUntilData = true;
     },
     false, Ok,
     [](Harness& h) {
         EXPECT_EQ(h.Sim([](const BootSim& s) { return s.SyncBytes(); }), 6u);
         EXPECT_EQ(h.Sim([](const BootSim& s) { return s.SyncAfterLink(); }), 0u);
         EXPECT_EQ(Count(ReadFileBytes(TReport::kFileName), "DbgAnsw: 0x01"), 5u);
         EXPECT_EQ(Count(ReadFileBytes(TReport::kFileName), "DbgAnsw: 0x02"), 5u);
         EXPECT_EQ(Count(ReadFileBytes(TReport::kFileName), "WaitForACK NACK (0x41)"), 5u);
         EXPECT_TRUE(Passed(h));
     }},
    {"RecordNackWithTimedDiagnostics",
     [](Arrange& a) {
         a.sim.answerByteGapMs = 2;
         a.sim.nacks[3] = Nack{0x41, {0x07, 0x08, 0x09}};
     },
     true, [](const Harness& h) { return SendFailed("FPL_SendStream error rx " + h.RangeOf(3)); },
     [](Harness&) {
         EXPECT_TRUE(Contains(TraceBodies("Debug"), {"WaitForACK NACK (0x41)", "DbgAnsw: 0x07",
                                                     "DbgAnsw: 0x08", "DbgAnsw: 0x09"}));
     }},
    // The answer lands in the very step the wait runs out (the loader takes the sync byte a
    // millisecond after it was written): it is there, so it counts.
    {"AnAnswerAsTheWaitEndsCounts", [](Arrange& a) { a.sim.answerDelayMs = 50; }, false, Ok,
     [](Harness& h) {
         EXPECT_EQ(h.Sim([](const BootSim& s) { return s.SyncBytes(); }), 1u);
         EXPECT_EQ(Count(ReadFileBytes(TReport::kFileName), "WaitForACK timeout"), 0u);
         EXPECT_TRUE(Passed(h));
     }},
    {"ReadBackAnswerDuringHandshakeLinks", [](Arrange& a) { a.sim.linkAck = 0xAA; }, false, Ok,
     [](Harness& h) {
         EXPECT_EQ(TraceBodies("Debug").at(1), "WaitForACK OK (0xAA)");
         EXPECT_TRUE(Passed(h));
     }},
    {"BootType3",
     [](Arrange& a) {
         a.layout.bootType = 3;
         a.sim.skipSync = 2;
     },
     false, Ok,
     [](Harness& h) {
         EXPECT_EQ(h.Sim([](const BootSim& s) { return s.SyncByte(); }), 0x5A);
         EXPECT_EQ(h.Sim([](const BootSim& s) { return s.NoiseBytes(); }), 0u);
         ExpectSyncGaps(h, 25, 30);
         EXPECT_TRUE(Passed(h));
     }},
    {"BootType0x0103IsType3", [](Arrange& a) { a.layout.bootType = 0x0103; }, false, Ok,
     [](Harness& h) {
         EXPECT_EQ(h.Sim([](const BootSim& s) { return s.SyncByte(); }), 0x5A);
         EXPECT_TRUE(Passed(h));
     }},
    {"Version1BootsWithType0",
     [](Arrange& a) {
         // Bytes 76-77 of a version 1 file are the first count; 3 must not select boot type 3.
         a.layout.version = 1;
         a.layout.payloadSizes[0] = 4;
     },
     false, Ok,
     [](Harness& h) {
         EXPECT_EQ(h.image[76], 3);
         EXPECT_EQ(h.Sim([](const BootSim& s) { return s.NoiseBytes(); }), 0u);
         EXPECT_TRUE(Passed(h));
     }},
    {"BootType1Refused", [](Arrange& a) { a.layout.bootType = 1; }, true,
     [](const Harness&) { return BootFailed("FPL_Boot boot not implemented"); },
     [](Harness& h) {
         EXPECT_EQ(h.calls, (std::vector<Call>{{1, 0}, {7, 100}}));
         EXPECT_EQ(h.Sim([](const BootSim& s) { return s.BytesReceived(); }), 0u);
         EXPECT_FALSE(TFPLibTestPeer::PriorityHigh(*h.fpl));
     }},
    {"BootType2Refused", [](Arrange& a) { a.layout.bootType = 2; }, true,
     [](const Harness&) { return BootFailed("FPL_Boot boot not implemented"); },
     [](Harness& h) {
         EXPECT_EQ(h.calls, (std::vector<Call>{{1, 0}, {7, 100}}));
         EXPECT_EQ(h.Sim([](const BootSim& s) { return s.BytesReceived(); }), 0u);
         EXPECT_FALSE(TFPLibTestPeer::PriorityHigh(*h.fpl));
     }},
    {"BootType7FailsAtOnce", [](Arrange& a) { a.layout.bootType = 7; }, true,
     [](const Harness&) { return BootFailed("FPL_Boot timeout"); },
     [](Harness& h) {
         EXPECT_EQ(h.calls, (std::vector<Call>{{1, 0}, {7, 100}}));
         EXPECT_EQ(h.Sim([](const BootSim& s) { return s.BytesReceived(); }), 0u);
         EXPECT_FALSE(TFPLibTestPeer::PriorityHigh(*h.fpl));
     }},
    {"SilentModuleGivesUpAfter1000Attempts", [](Arrange& a) { a.sim.silentHandshake = true; }, true,
     [](const Harness&) { return BootFailed("FPL_Boot timeout"); },
     [](Harness& h) {
         EXPECT_EQ(h.Sim([](const BootSim& s) { return s.SyncBytes(); }), 1000u);
         std::vector<int> linking = h.Values(1);
         ASSERT_EQ(linking.size(), 1001u);
         for (size_t i = 1; i < linking.size(); ++i)
             EXPECT_EQ(linking[i], (i % 2) ? 0 : 100) << "attempt " << i;
         EXPECT_EQ(h.calls.back(), (Call{7, 100}));
         EXPECT_EQ(Count(ReadFileBytes(TReport::kFileName), "WaitForACK timeout"), 1000u);
         EXPECT_FALSE(TFPLibTestPeer::PriorityHigh(*h.fpl));
     }},
    {"Speed115200SendsTheFilesWordAndNeverReconfigures", [](Arrange& a) { a.channelLevel = 12; },
     false, Ok,
     [](Harness& h) {
         EXPECT_EQ(h.Sim([](const BootSim& s) { return s.SpeedWordValue(); }), 0x0777);
         EXPECT_EQ(RecordSpeeds(h), (std::vector<uint32_t>(5, 115200)));
         EXPECT_EQ(Count(ReadFileBytes(TReport::kFileName), "New Speed: "), 1u);
         EXPECT_TRUE(Passed(h));
     }},
    {"Speed921600SwitchesRightAfterTheSpeedRecord",
     [](Arrange& a) {
         a.speed = "921600";
         a.channelLevel = 12;
     },
     false, Ok,
     [](Harness& h) {
         EXPECT_EQ(h.Sim([](const BootSim& s) { return s.SpeedWordValue(); }), 4);
         EXPECT_EQ(RecordSpeeds(h),
                   (std::vector<uint32_t>{115200, 115200, 115200, 921600, 921600}));
         std::string log = ReadFileBytes(TReport::kFileName);
         EXPECT_EQ(Count(log, "New Speed: 115200"), 1u);
         EXPECT_EQ(Count(log, "New Speed: 921600"), 1u);
     }},
    {"Speed57600StartsThereAndTheSwitchOnlyPurges",
     [](Arrange& a) {
         a.speed = "57600";
         a.channelLevel = 12;
     },
     false, Ok,
     [](Harness& h) {
         EXPECT_EQ(h.Sim([](const BootSim& s) { return s.SpeedWordValue(); }), 5);
         EXPECT_EQ(RecordSpeeds(h), (std::vector<uint32_t>(5, 57600)));
         EXPECT_EQ(h.channel->SpeedTexts(), (std::vector<std::string>{"115200", "57600"}));
         EXPECT_EQ(Count(ReadFileBytes(TReport::kFileName), "New Speed: 57600"), 2u);
     }},
    {"SpeedChangeRefused",
     [](Arrange& a) {
         a.speed = "921600";
         a.before = [](Harness& h) { h.channel->RefuseSpeed("921600"); };
     },
     true,
     [](const Harness& h) {
         return SendFailed("FPL_SendStream can not change speed " + h.RangeOf(3));
     },
     [](Harness& h) {
         EXPECT_EQ(Received(h, 4), 0u);
         EXPECT_EQ(h.calls.back(), (Call{7, 100}));
     }},
    {"ReadBackSavedUnderThePortsName",
     [](Arrange& a) {
         a.port = "/dev/ttyUSB0";
         a.sim.readBacks[2] = Words({0x1234, 0x5678});
     },
     false, Ok,
     [](Harness& h) {
         EXPECT_EQ(ReadFileBytes("_dev_ttyUSB0_Read.bin"), "\x34\x12\x78\x56");
         EXPECT_FALSE(zem::FileExists("_dev_ttyUSB0_Read.bin.tmp"));
         std::vector<int> reading = h.Values(5);
         ASSERT_FALSE(reading.empty());
         EXPECT_EQ(reading.front(), 0);
         EXPECT_EQ(reading.back(), 100);
         EXPECT_TRUE(Contains(TraceBodies("Log"), {"Dump start"}));
         EXPECT_TRUE(Passed(h));
     }},
    {"ReadBackBadCheckWord",
     [](Arrange& a) {
         a.sim.readBacks[2] = Words({0x1234, 0x5678});
         a.sim.readBacks[2].badCheck = true;
     },
     true, [](const Harness& h) { return ReadBackFailed(h, "FPL_ReceiveData bad checksum", 2); },
     [](Harness& h) {
         EXPECT_FALSE(zem::FileExists("COM1_Read.bin"));
         EXPECT_EQ(Received(h, 3), 0u);
     }},
    {"ReadBackOfNoWordsGivesAnEmptyDump", [](Arrange& a) { a.sim.readBacks[1] = Words({}); }, false,
     Ok,
     [](Harness& h) {
         EXPECT_TRUE(zem::FileExists("COM1_Read.bin"));
         EXPECT_EQ(ReadFileBytes("COM1_Read.bin"), "");
         EXPECT_TRUE(Passed(h));
     }},
    {"ReadBackLengthTricklesIn",
     [](Arrange& a) {
         a.sim.readBacks[2] = Words({1, 2, 3});
         a.sim.readBacks[2].lengthGapMs = 9000;
     },
     false, Ok,
     [](Harness& h) {
         EXPECT_EQ(ReadFileBytes("COM1_Read.bin"), std::string("\1\0\2\0\3\0", 6));
         EXPECT_GT(h.clock.NowMs(), 27000u);
     }},
    {"ReadBackNeverStarts",
     [](Arrange& a) {
         a.sim.readBacks[2].words = 3;
         a.sim.readBacks[2].sendBytes = 0;
     },
     true, [](const Harness& h) { return ReadBackFailed(h, "FPL_ReceiveData timeout1", 2); },
     [](Harness& h) {
         EXPECT_TRUE(std::find(h.calls.begin(), h.calls.end(), Call{8, 0}) != h.calls.end());
         EXPECT_FALSE(zem::FileExists("COM1_Read.bin"));
     }},
    {"ReadBackStopsInTheData",
     [](Arrange& a) {
         a.sim.readBacks[2].words = 100;
         a.sim.readBacks[2].sendBytes = 50;
     },
     true, [](const Harness& h) { return ReadBackFailed(h, "FPL_ReceiveData timeout2", 2); },
     [](Harness&) { EXPECT_FALSE(zem::FileExists("COM1_Read.bin")); }},
    {"ReadBackTooLongToHoldFailsAtOnce",
     [](Arrange& a) {
         a.sim.readBacks[2].words = 0xFFFFFFFF;
         a.sim.readBacks[2].sendBytes = 4;
     },
     true, [](const Harness& h) { return ReadBackFailed(h, "FPL_ReceiveData timeout2", 2); },
     [](Harness& h) {
         EXPECT_LT(h.clock.NowMs(), 5000u) << "no 10 s wait for data that cannot be held";
         EXPECT_FALSE(zem::FileExists("COM1_Read.bin"));
     }},
    {"ReadBackWithoutClosingAck",
     [](Arrange& a) {
         a.sim.readBacks[2] = Words({7});
         a.sim.readBacks[2].ack = false;
     },
     true, [](const Harness& h) { return ReadBackFailed(h, "FPL_ReceiveData no ACK", 2); },
     [](Harness&) { EXPECT_FALSE(zem::FileExists("COM1_Read.bin")); }},
    {"ReadBackAfterTheLastRecord",
     [](Arrange& a) {
         a.sim.readBacks[5] = Words({9, 8, 7, 6});
     },
     false, Ok,
     [](Harness& h) {
         EXPECT_EQ(ReadFileBytes("COM1_Read.bin").size(), 8u);
         EXPECT_EQ(h.calls.back(), (Call{4, 100}));
     }},
    {"NackOnARecordEndsTheRun",
     [](Arrange& a) {
         a.sim.nacks[2] = Nack{0x41, {0x07, 0x08}};
     },
     true, [](const Harness& h) { return SendFailed("FPL_SendStream error rx " + h.RangeOf(2)); },
     [](Harness& h) {
         EXPECT_TRUE(Contains(TraceBodies("Debug"),
                              {"WaitForACK NACK (0x41)", "DbgAnsw: 0x07", "DbgAnsw: 0x08"}));
         EXPECT_EQ(Received(h, 2), 700u);
         EXPECT_EQ(Received(h, 3), 0u);
         EXPECT_EQ(h.Sim([](const BootSim& s) { return s.ExtraBytes(); }), 0u) << "not resent";
     }},
    {"RecordNeverAnswered", [](Arrange& a) { a.sim.silentFrom = 3; }, true,
     [](const Harness& h) { return SendFailed("FPL_SendStream error rx " + h.RangeOf(3)); },
     [](Harness& h) {
         EXPECT_GE(h.clock.NowMs(), 40000u);
         EXPECT_EQ(h.calls[h.calls.size() - 2], (Call{8, 0}));
     }},
    {"ByteAfterTheLastRecord", [](Arrange& a) { a.layout.trailingBytes = 1; }, true,
     [](const Harness& h) { return SendFailed("FPL_SendStream not completed " + h.RangeOf(5)); },
     [](Harness& h) { EXPECT_TRUE(Passed(h)) << "every whole record was sent"; }},
    {"RecordRunningPastTheEndIsNeverSent", [](Arrange& a) { a.layout.trailingBytes = 5; }, true,
     [](const Harness& h) {
         // The sixth count reads 0xEEEE: payload from 2 past the fifth record's end.
         uint32_t start = static_cast<uint32_t>(h.image.size() - 5 + 2);
         return SendFailed(
             zem::Format("FPL_SendStream not completed (0x%08X - 0x%08X)", start, start + 0xEEEE));
     },
     [](Harness& h) {
         EXPECT_TRUE(Passed(h));
         EXPECT_EQ(h.Sim([](const BootSim& s) { return s.ExtraBytes(); }), 0u);
     }},
    {"BodyWithoutRecords",
     [](Arrange& a) {
         a.layout.payloadSizes.clear();
         a.layout.speedRecord = 0;
     },
     true,
     [](const Harness&) {
         return SendFailed("FPL_SendStream not completed (0x00000000 - 0xFFFFFFFF)");
     },
     [](Harness& h) {
         EXPECT_TRUE(h.Sim([](const BootSim& s) { return s.Linked(); }));
         EXPECT_EQ(h.calls.back(), (Call{7, 100}));
     }},
    {"AbortDuringTheHandshake",
     [](Arrange& a) {
         a.sim.silentHandshake = true;
         a.before = [](Harness& h) {
             h.hook = [&h, n = 0](uint8_t code, int32_t) mutable {
                 if (code == 1 && ++n == 3) h.fpl->FPL_Abort();
             };
         };
     },
     true, [](const Harness&) { return BootFailed(""); },
     [](Harness& h) {
         EXPECT_EQ(h.Sim([](const BootSim& s) { return s.SyncBytes(); }), 2u);
         EXPECT_EQ(h.calls.back(), (Call{7, 100}));
         EXPECT_TRUE(TFPLibTestPeer::PriorityHigh(*h.fpl)) << "the abort exit leaves it raised";
     }},
    {"AbortDuringARecordWaitEndsTheWait",
     [](Arrange& a) {
         a.before = [](Harness& h) {
             h.hook = [&h, armed = false](uint8_t code, int32_t value) mutable {
                 if (code == 3) armed = true;
                 if (armed && code == 8 && value == 100) {
                     armed = false;
                     h.fpl->FPL_Abort();
                 }
             };
         };
     },
     true, [](const Harness&) { return SendFailed("FPL_SendStream aborted..."); },
     [](Harness& h) {
         EXPECT_LT(h.clock.NowMs(), 100u) << "not the end of the 40 s wait";
         EXPECT_EQ(Received(h, 2), 0u);
         EXPECT_EQ(h.Values(3).size(), 1u);
     }},
    {"AbortDuringTheLastRecordWaitEndsTheRun",
     [](Arrange& a) {
         a.before = [](Harness& h) {
             h.hook = [&h, records = 0](uint8_t code, int32_t value) mutable {
                 if (code == 3) ++records;
                 if (records == 5 && code == 8 && value == 100) h.fpl->FPL_Abort();
             };
         };
     },
     true, [](const Harness&) { return SendFailed("FPL_SendStream aborted..."); },
     [](Harness& h) { EXPECT_EQ(h.Values(4).size(), 0u); }},
    {"AbortFromTheLinkedCallbackSendsNoRecord",
     [](Arrange& a) {
         a.before = [](Harness& h) {
             h.hook = [&h](uint8_t code, int32_t) {
                 if (code == 2) h.fpl->FPL_Abort();
             };
         };
     },
     true, [](const Harness&) { return SendFailed("FPL_SendStream aborted..."); },
     [](Harness& h) {
         EXPECT_EQ(Received(h, 1), 0u);
         EXPECT_TRUE(h.Values(3).empty());
         EXPECT_EQ(h.calls.back(), (Call{7, 100}));
     }},
    {"AbortDuringAStalledReadBack",
     [](Arrange& a) {
         a.sim.readBacks[2].words = 100;
         a.sim.readBacks[2].sendBytes = 50;
         a.before = [](Harness& h) {
             h.hook = [&h](uint8_t code, int32_t value) {
                 if (code == 5 && value > 0) h.fpl->FPL_Abort();
             };
         };
     },
     true, [](const Harness&) { return SendFailed("FPL_SendStream aborted..."); },
     [](Harness& h) {
         EXPECT_LT(h.clock.NowMs(), 1000u) << "not the end of the 10 s idle wait";
         EXPECT_FALSE(zem::FileExists("COM1_Read.bin"));
     }},
    {"AbortDuringAWrite",
     [](Arrange& a) {
         a.layout.payloadSizes[1] = 40000; // more than the ring holds
         a.sim.stallRecord = 2;
         a.sim.stallAfter = 100;
         a.before = [](Harness& h) {
             h.hook = [&h](uint8_t code, int32_t) {
                 if (code == 3 && h.Values(3).size() == 2)
                     h.clock.onSleep = [&h](uint32_t) { h.fpl->FPL_Abort(); };
             };
         };
     },
     true, [](const Harness&) { return SendFailed("FPL_SendStream aborted..."); },
     [](Harness& h) {
         EXPECT_EQ(Received(h, 2), 100u);
         EXPECT_LT(h.clock.NowMs(), 1000u);
     }},
    {"ChannelThatNeverDrains",
     [](Arrange& a) {
         a.layout.payloadSizes[1] = 40000;
         a.sim.stallRecord = 2;
     },
     true, [](const Harness& h) { return SendFailed("FPL_SendStream error tx " + h.RangeOf(2)); },
     [](Harness& h) {
         EXPECT_GE(h.clock.NowMs(), 40000u);
         EXPECT_EQ(Received(h, 2), 0u);
         // The stalled write counts down like any other wait: 100, a report a second, then 0.
         std::vector<int> v = h.Values(8);
         auto from = std::find(v.rbegin(), v.rend(), 100);
         ASSERT_NE(from, v.rend());
         std::vector<int> stall(from.base() - 1, v.end());
         EXPECT_GE(stall.size(), 40u);
         EXPECT_EQ(stall.back(), 0);
         EXPECT_TRUE(std::is_sorted(stall.rbegin(), stall.rend()));
     }},
};

void PrintTo(const WireCase& c, std::ostream* os) {
    *os << c.name;
}

class Wire : public ::testing::TestWithParam<WireCase> {};

TEST_P(Wire, Scenario) {
    const WireCase& c = GetParam();
    Arrange a;
    if (c.arrange) c.arrange(a);
    std::string error;
    std::vector<uint8_t> image = zem::sim::BuildStream(a.layout, &error);
    ASSERT_FALSE(image.empty()) << error;
    Harness h;
    h.Open(image, a.sim, a.speed, a.port, 20, a.channelLevel);
    if (a.before) a.before(h);
    EXPECT_EQ(h.Program(), c.fails);
    EXPECT_EQ(h.Fails(), c.failLines(h));
    if (c.check) c.check(h);
}

INSTANTIATE_TEST_SUITE_P(Table, Wire, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<WireCase>& i) {
                             return std::string(i.param.name);
                         });

} // namespace
