// Requests answered from the device thread while the application waits (ping, items,
// parameters, bus scans, with their time-outs and chunking), and the cross-thread lifetime rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "actuator_test_util.hpp"
#include "oxl_api/log.hpp"
#include "recorders.hpp"

namespace oxl_test {
namespace {

using oxl_api::OrvexActuatorScanner;
using FeedbackMap = OrvexActuator::FeedbackMap;
using ParameterMap = OrvexActuator::ParameterMap;
using std::chrono::milliseconds;

TEST(Requests, PingAndItemRequestsWaitForTheirAnswerOrTimeOut) {
    LoopbackOXL bus;
    ScriptedDevice dev;
    dev.delay = milliseconds(20);
    dev.items = {{0x45, float_word(1.5f)}, {0x90, 7u}};
    bus.add_device(0x20, dev);
    OrvexActuator act(bus, 0x20);
    EXPECT_TRUE(act.connect(5.0f));
    EXPECT_FALSE(act.connect(0.0f)) << "a zero time-out fails at once, whatever arrived before";
    EXPECT_FALSE(act.connected);

    std::vector<Item> twelve;  // 0x41 to 0x4C: only the first 9 are requested
    for (uint8_t code = 0x41; code <= 0x4C; ++code) {
        twelve.push_back(static_cast<Item>(code));
    }
    bus.clear_sent();
    EXPECT_EQ(act.getItemsBlocking(twelve, 5.0f), (FeedbackMap{{Item::SPEED_45, 1.5f}}));
    // The previous answer is forgotten before the next request goes out.
    EXPECT_EQ(act.getItemsBlocking({Item::ERRORS}, 5.0f), (FeedbackMap{{Item::ERRORS, 7.0f}}));
    EXPECT_TRUE(act.get_feedback().empty());
    testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(act.getItemsBlocking({Item::SPEED_45}, 0.0f).empty());
    ASSERT_TRUE(bus.wait_idle(std::chrono::seconds(5)));  // else the late reply ends the next wait
    EXPECT_TRUE(act.getItemsBlocking({Item::VBUS}, 0.1f).empty());  // not held: no reply
    EXPECT_GE(seconds_since(start), 0.1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Timeout waiting for feedback items\nTimeout waiting for feedback items\n");
    EXPECT_EQ(sent_hex(bus), (Strings{"0f414243444546474849", "0f90", "0f45", "0f70"}));
}

TEST(Requests, ParameterChunksGoOutOneAfterTheOtherUntilOneTimesOut) {
    LoopbackOXL bus;
    ScriptedDevice dev;
    dev.delay = milliseconds(5);
    // Everything but the codes of the fourth chunk (0x82 to 0x85).
    for (uint8_t code : {0x30, 0x31, 0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x80, 0x81}) {
        dev.parameters[code] = 1u;
    }
    for (uint8_t code = 1; code <= 0x0F; ++code) {
        dev.parameters[code] = float_word(code);
    }
    bus.add_device(0x20, dev);
    OrvexActuator act(bus, 0x20);

    // The fourth chunk's time-out ends the chain; the cache filled by the others is returned.
    testing::internal::CaptureStderr();
    const ParameterMap got = act.get_parameters_all();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Timeout waiting for parameters\n");
    EXPECT_EQ(sent_hex(bus), (Strings{"0c010203040506070809", "0c0a0b0c0d0e0f303140",
                                      "0c414243444546478081", "0c82838485"}));
    EXPECT_EQ(got.size(), 27u);
    EXPECT_EQ(got.at(Param::PROFILE_SPEED_MIN), 12.0f);
    const auto sent = bus.sent();
    for (std::size_t i = 1; i < sent.size(); ++i) {
        EXPECT_GE(sent[i].when - sent[i - 1].when, dev.delay) << "sent before the answer";
    }

    // A silent device: the first chunk times out, nothing more is asked, the result is empty.
    dev.answers_parameters = false;
    bus.add_device(0x20, dev);
    bus.clear_sent();
    testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(act.get_parameters({}, 0.0f).empty());
    EXPECT_TRUE(act.get_parameters(std::vector<Param>(10, Param::K_DAMP), 0.1f).empty());
    EXPECT_GE(seconds_since(start), 0.1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Timeout waiting for parameters\nTimeout waiting for parameters\n");
    EXPECT_EQ(sent_hex(bus), (Strings{"0c", "0c010101010101010101"}));
}

TEST(Requests, ParameterAnswersAreConvertedByCode) {
    const auto f = hex_float;
    const std::vector<std::pair<std::string, ParameterMap>> cases = {
        // answer, expected values (empty: the answer must not end the wait)
        {"83 30" + f(2.7f), {{Param::MODE, 2.0f}}},
        {"83 30" + f(-2.7f), {{Param::MODE, -2.0f}}},
        {"83 30" + f(NAN), {{Param::MODE, 0.0f}}},
        {"83 30" + f(1e10f) + "01" + f(-1e10f),
         {{Param::MODE, 2147483648.0f}, {Param::K_DAMP, -1e10f}}},
        {"83 30" + f(-1e10f), {{Param::MODE, -2147483648.0f}}},
        {"83 80 204e0000 84 ffffffff",
         {{Param::PARAM_80, 20000.0f}, {Param::PARAM_84, 4294967296.0f}}},
        {"83 81 204e0000 77" + f(-3.5f),
         {{Param::ADDRESS, 2.8026e-41f}, {static_cast<Param>(0x77), -3.5f}}},
        {"83 04 00004040 05 00", {{Param::LIMIT_TORQUE, 3.0f}}},  // 2 trailing bytes ignored
        {"45 0000803f 83 04 00004040", {{Param::LIMIT_TORQUE, 3.0f}}},
        {"83 00 0000803f", {}},
        {"83 04 000040", {}},
    };
    for (const auto& [answer, expected] : cases) {
        SCOPED_TRACE(answer);
        LoopbackOXL bus;
        ScriptedDevice dev;
        dev.parameter_answer = unhex(answer);
        bus.add_device(0x20, dev);
        OrvexActuator act(bus, 0x20);
        testing::internal::CaptureStderr();
        const ParameterMap got = act.get_parameters({Param::MODE}, expected.empty() ? 0.1f : 5.0f);
        testing::internal::GetCapturedStderr();
        ASSERT_EQ(got.size(), expected.size());
        for (const auto& e : expected) {
            EXPECT_FLOAT_EQ(got.at(e.first), e.second);
        }
        EXPECT_TRUE(act.get_feedback().empty());
    }
}

ScriptedDevice device(uint16_t model_code, uint16_t firmware_word) {
    ScriptedDevice dev;
    dev.model_code = model_code;
    dev.firmware_word = firmware_word;
    dev.delay = milliseconds(2);
    return dev;
}

TEST(Scanner, PingsEveryIdListsAnswersAndLeavesOnlyRefusedIdsRegistered) {
    LoopbackOXL bus;
    bus.add_device(0, device(5, 0x0001));
    bus.add_device(0x2A, device(1, 0x0842));
    OrvexActuatorScanner scanner(bus);
    ASSERT_TRUE(scanner.connected);
    bus.clear_sent();
    testing::internal::CaptureStdout();
    EXPECT_EQ(scanner.scan(0x29, 0x2B), std::vector<int>{0x2A});
    EXPECT_EQ(scanner.scan(0, 0), std::vector<int>{0});  // the adapter answers like a device
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Device found: address 0x2a (42)\tmodel ARVEN\tfirmware 1.1.2\n"
              "Device found: address 0x0 (0)\tmodel CAN_ADAPTER\tfirmware 0.0.1\n");
    const auto sent = bus.sent();
    EXPECT_EQ(sent_hex(bus), Strings(4, "40"));
    EXPECT_EQ(std::vector<int>({sent[0].id, sent[1].id, sent[2].id, sent[3].id}),
              (std::vector<int>{0x29, 0x2A, 0x2B, 0}));
    EXPECT_TRUE(bus.registered_ids().empty()) << "scanning 0 removed the scanner's own callback";

    // An empty range does nothing; the transport refuses negative ids, whose callbacks stay.
    testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(scanner.scan(0x30, 0x2F).empty());
    EXPECT_TRUE(scanner.scan(-2, -1).empty());
    EXPECT_GE(seconds_since(start), 0.1) << "each id is waited for";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid OXL ID: -2\nInvalid OXL ID: -1\n");
    EXPECT_EQ(bus.sent().size(), 4u);
    EXPECT_EQ(bus.registered_ids(), (std::vector<int>{-2, -1}));
}

TEST(Scanner, SilentOrWrongDeviceAtIdZeroMakesEveryScanFail) {
    LoopbackOXL silent;
    testing::internal::CaptureStderr();
    OrvexActuatorScanner unanswered(silent);
    EXPECT_FALSE(unanswered.connected);
    EXPECT_TRUE(unanswered.scan(0x10, 0x20).empty());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "CAN adapter not responding\nCAN adapter is not connected\n");
    EXPECT_EQ(sent_hex(silent), Strings{"40"});

    LoopbackOXL bus;
    bus.add_device(0, device(1, 0));
    bus.add_device(0x10, device(2, 0));
    testing::internal::CaptureStderr();
    OrvexActuatorScanner scanner(bus);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Device is not a CAN adapter, it's a ARVEN\n");
    EXPECT_TRUE(scanner.connected);
    EXPECT_FALSE(bus.is_connected());
    bus.clear_sent();
    EXPECT_TRUE(scanner.scan(0x10, 0x11).empty()) << "a closed transport sends nothing";
    EXPECT_TRUE(bus.sent().empty());
}

// A client at 0x20 moves to 0x30, leaving its registration at 0x20 behind. Frames stream to 0x20,
// where the test thread keeps replacing the client's feedback callback, and to 0x21 to 0x24, where
// four threads keep making and destroying clients: every registry change meets a dispatch in
// flight, so an unlocked one cannot escape ThreadSanitizer. Then the client is destroyed while
// frames still arrive through its stray registration.
TEST(Threads, CallbacksAndRegistrationsChangeWhileFramesStream) {
    std::atomic<int> calls{0}, frames{0};
    std::atomic<bool> stop{false};
    LoopbackOXL bus;
    auto act = std::make_unique<OrvexActuator>(bus, 0x20);
    act->changeAddress(0x30);
    testing::internal::CaptureStderr();
    bus.deliver(0x20, unhex("82 00000100"));  // the stray callback acts for the moved client
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Actuator 0x30 Error code: 16 - Current maximum\n"
              "Actuator 0x30 Stopping (override error_callback to change)\n");
    std::vector<uint8_t> frame = unhex("45 00000000 72 0000c841");
    std::thread receiver([&] {
        while (!stop) {
            const float v = static_cast<float>(++frames);
            std::memcpy(&frame[1], &v, 4);
            bus.deliver(0x20, frame);
            bus.deliver(0x21 + frames % 4, frame);
        }
    });
    EXPECT_TRUE(eventually([&] { return frames >= 10; }));
    std::vector<std::thread> churn;
    for (int id = 0x21; id <= 0x24; ++id) {
        churn.emplace_back([&bus, id] {
            for (int i = 0; i < 500; ++i) {
                OrvexActuator client(bus, id);
            }
        });
    }
    for (int i = 0; i < 300; ++i) {
        act->set_feedback_callback([&calls](int, FeedbackMap) { calls++; });
        act->set_feedback_callback(nullptr);
        act->set_feedback_callback([&calls](int, FeedbackMap m) { calls += m.size() == 2; });
        (void)act->get_feedback();
    }
    for (std::thread& thread : churn) {
        thread.join();
    }
    const int before = calls;
    EXPECT_TRUE(eventually([&] { return calls >= before + 10; }))
        << "the last callback set gets the frames";
    act.reset();  // removes only 0x30, while frames keep arriving for 0x20
    const int at_destruction = calls;
    stop = true;
    receiver.join();
    EXPECT_LE(at_destruction, frames.load()) << "at most one callback per frame";
    ASSERT_EQ(bus.registered_ids(), std::vector<int>{0x20});
    bus.clear_sent();
    EXPECT_TRUE(bus.deliver(0x20, unhex("82 00000100")));
    EXPECT_TRUE(bus.deliver(0x20, frame));
    EXPECT_TRUE(bus.sent().empty()) << "the stray callback must not act for a destroyed object";
    EXPECT_EQ(calls, at_destruction);
}

// Puts the default printing back when a test that installed a log handler ends, by any path.
struct DefaultLogOnExit {
    ~DefaultLogOnExit() { oxl_api::set_log_handler(nullptr); }
};

TEST(Threads, LogHandlerGetsExactlyThePrintedLinesInEachThreadsOrderAndSurvivesFaults) {
    using oxl_api::LogSeverity;
    constexpr int kThreads = 4;
    constexpr int kRounds = 40;
    // What thread t prints, in its order: an id the transport refuses, then an address the
    // client refuses, every round.
    const auto lines_of_thread = [](int t) {
        Strings lines;
        for (int k = 0; k < kRounds; ++k) {
            const int n = t * kRounds + k;
            lines.push_back("Invalid OXL ID: " + std::to_string(-1 - n));
            lines.push_back("Invalid address " + std::to_string(0x4000 + n) +
                            ". Must be 0x10..0x3FFE");
        }
        return lines;
    };
    std::mutex mutex;
    std::map<std::thread::id, Strings> by_thread;  // guarded by `mutex`
    std::atomic<int> calls{0};
    const DefaultLogOnExit restore;
    LoopbackOXL bus;
    OrvexActuator act(bus, 0x20);
    const auto run_threads = [&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int k = 0; k < kRounds; ++k) {
                    const int n = t * kRounds + k;
                    bus.send_OXL(-1 - n, {0x01});
                    act.changeAddress(0x4000 + n);
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    };

    testing::internal::CaptureStderr();
    run_threads();
    Strings printed;
    std::istringstream text(testing::internal::GetCapturedStderr());
    for (std::string line; std::getline(text, line);) {
        printed.push_back(line);
    }

    oxl_api::set_log_handler([&](LogSeverity severity, const std::string& line) {
        EXPECT_EQ(severity, LogSeverity::ERROR) << line;
        std::lock_guard<std::mutex> lock(mutex);
        by_thread[std::this_thread::get_id()].push_back(line);
    });
    testing::internal::CaptureStderr();
    run_threads();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "a handler replaces the printing";
    std::vector<Strings> expected;
    Strings all_expected;
    for (int t = 0; t < kThreads; ++t) {
        expected.push_back(lines_of_thread(t));
        all_expected.insert(all_expected.end(), expected.back().begin(), expected.back().end());
    }
    std::vector<Strings> got;
    for (const auto& entry : by_thread) {
        got.push_back(entry.second);
    }
    std::sort(got.begin(), got.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(got, expected) << "each thread's lines, complete and in its order";
    std::sort(printed.begin(), printed.end());
    std::sort(all_expected.begin(), all_expected.end());
    EXPECT_EQ(printed, all_expected) << "the same lines as printed without a handler";

    // A throwing handler, replaced over and over while the receive thread prints, harms neither
    // the receive thread nor the application thread; every line reaches one of the handlers.
    const oxl_api::LogHandler throwing = [&](LogSeverity, const std::string&) {
        ++calls;
        throw std::runtime_error("handler fault");
    };
    const oxl_api::LogHandler counting = [&](LogSeverity severity, const std::string& line) {
        ++calls;
        EXPECT_EQ(line.rfind(severity == LogSeverity::WARNING ? "Unknown command 0x7"
                                                              : "Rate must be non-negative",
                             0),
                  0u)
            << line;
    };
    oxl_api::set_log_handler(throwing);
    constexpr int kPosted = 300;
    for (int i = 0; i < kPosted; ++i) {
        bus.post(0x20, {0x07, 0, 0, 0, 0});
    }
    for (int i = 0; i < 200; ++i) {
        oxl_api::set_log_handler(counting);
        oxl_api::set_log_handler(throwing);
    }
    EXPECT_NO_THROW(act.setFeedbackRate(-1));
    ASSERT_TRUE(bus.wait_idle(std::chrono::seconds(5)));
    EXPECT_EQ(bus.swallowed_exceptions(), 0u) << "nothing reached the receive loop";
    EXPECT_EQ(calls, kPosted + 1);
}

}  // namespace
}  // namespace oxl_test
