#include "oxl_api/orvex_actuator.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <iostream>
#include <optional>
#include <sstream>
#include <thread>
#include <utility>

#include "log.hpp"
#include "wire.hpp"

namespace oxl_api {

using namespace wire;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxCodesPerRequest = 9;
constexpr int kMaxRateHz = 10000;
constexpr int64_t kTickNs = 1000000000 / kFeedbackTicksPerSecond;
constexpr float kScanWaitS = 0.05f;
constexpr float kAdapterCheckTimeoutS = 1.0f;
// Spacing of the pings of a discovery. A ping is a 6-byte frame, 60 bit times at 115200 baud
// (8N1), so the adapter's line carries at most 1,920 a second; 625 us (1,600 a second) stays 17 %
// under that. The pseudo-terminal serial stack of the tests takes them far faster (tens of
// thousands a second, see BENCHMARKS.md), so the line is the limit.
constexpr auto kDiscoveryPingInterval = std::chrono::microseconds(625);
// Pings that may leave back to back to catch up after the sender was held up (at most 24 bytes
// ahead of the line's pace), so that a late wake-up does not lower the average rate.
constexpr int kDiscoveryBurst = 4;
// How long a discovery window stays open after its last ping: the sequential scan's wait per id.
constexpr auto kDiscoveryAnswerWait = std::chrono::milliseconds(50);

using Params = OrvexActuator::OXL_Parameters;

// The 48 feedback item codes in ascending order, taken from the enumerator list.
#define OXL_ITEM_CODE(name, value) value,
constexpr std::array<uint8_t, 48> kItemCodes = {OXL_API_FEEDBACK_ITEMS(OXL_ITEM_CODE)};
#undef OXL_ITEM_CODE
constexpr bool strictly_ascending(const std::array<uint8_t, 48>& codes) {
    for (std::size_t i = 1; i < codes.size(); ++i) {
        if (codes[i - 1] >= codes[i]) {
            return false;
        }
    }
    return true;
}
// Catches a missing initialiser (which would read as code 0) and a duplicate.
static_assert(strictly_ascending(kItemCodes), "item codes must be 48 distinct ascending codes");
static_assert(kItemCodes.size() <= 64, "the per-frame seen mask is 64 bits wide");

enum class ItemClass : uint8_t { NONE, FLOAT, UNSIGNED, SIGNED };

struct ItemInfo {
    ItemClass cls = ItemClass::NONE;
    uint8_t index = 0;  // position in kItemCodes, for the per-frame "seen" bit mask
};

// Lookup table by code byte, built from the code lists on first use; the initialisation of a
// function-local static is thread-safe, so two transports decoding at once see one table.
const std::array<ItemInfo, 256>& item_table() {
    static const std::array<ItemInfo, 256> table = [] {
        std::array<ItemInfo, 256> t{};
        for (std::size_t i = 0; i < kItemCodes.size(); ++i) {
            const uint8_t code = kItemCodes[i];
            const ItemClass cls = is_unsigned_item(code) ? ItemClass::UNSIGNED
                                  : code == kSignedItem  ? ItemClass::SIGNED
                                                         : ItemClass::FLOAT;
            t[code] = {cls, static_cast<uint8_t>(i)};
        }
        return t;
    }();
    return table;
}

struct ErrorDescription {
    int bit;
    const char* text;
};

// Error bit descriptions in ascending bit order, built on first use (thread-safe static).
const std::vector<ErrorDescription>& error_table() {
    static const std::vector<ErrorDescription> table = {
        {0, "Overtemperature"},
        {2, "Position reference maximum"},
        {3, "Position reference minimum"},
        {4, "Speed feedback maximum"},
        {5, "VBUS out of range"},
        {6, "Torque reference maximum"},
        {7, "Torque feedback maximum"},
        {8, "Position feedback maximum"},
        {9, "Position feedback minimum"},
        {12, "Control overrun"},
        {16, "Current maximum"},
        {17, "Invalid limits"},
        {29, "VBUS critical range"},
        {30, "Internal encoder error"},
        {31, "External encoder error"},
    };
    return table;
}

// Every parameter code, in the order in which `get_parameters_all` requests them.
#define OXL_PARAMETER(name, value) Params::name,
constexpr std::array<Params, 31> kAllParameters = {OXL_API_PARAMETERS(OXL_PARAMETER)};
#undef OXL_PARAMETER

std::string model_name(uint16_t code) {
    // Stays empty for an unknown code (or a table not yet built).
    if (code < OrvexActuator::MODELS_NAMES.size()) {
        return OrvexActuator::MODELS_NAMES[code];
    }
    return OrvexActuator::MODELS_NAMES.empty() ? std::string() : OrvexActuator::MODELS_NAMES[0];
}

// The identity report in `payload`, walked entry by entry as `can_callback` walks it: true, with
// the two words, when an identity entry comes before the end marker, a parameter or error report,
// an unknown code or a truncated entry.
bool find_identity(const std::vector<uint8_t>& payload, uint16_t& model_code,
                   uint16_t& firmware_word) {
    const std::size_t n = payload.size();
    for (std::size_t pos = 0; pos + 4 < n; pos += kEntrySize) {
        const uint8_t c = payload[pos];
        if (c == kReportIdentity) {
            model_code = read_u16(payload.data() + pos + 1);
            firmware_word = read_u16(payload.data() + pos + 3);
            return true;
        }
        if (item_table()[c].cls == ItemClass::NONE) {
            return false;  // the end marker, another report, or a code the decoder stops at
        }
    }
    return false;
}

float elapsed_seconds(Clock::time_point start) {
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
    return static_cast<float>(ns) / 1e9f;
}

// What a discovery learns from one answering id.
struct Found {
    int id;
    uint16_t model_code;
    uint16_t firmware_word;
};

// The identity reports of the window of ids being discovered. The decoders registered for the
// window share it with the discovering thread; an answer from an id outside the open window (a
// late one from an earlier window) is dropped.
class DiscoveryInbox {
  public:
    void open(int first_id, int last_id) {
        std::lock_guard<std::mutex> lock(mutex);
        first = first_id;
        last = last_id;
        found.clear();
    }
    // Closes the window and returns what arrived while it was open.
    std::vector<Found> close() {
        std::vector<Found> out;
        std::lock_guard<std::mutex> lock(mutex);
        first = 0;
        last = -1;
        out.swap(found);
        return out;
    }
    // Receive thread: files the identity report, if `payload` holds one, under `id`.
    void offer(int id, const std::vector<uint8_t>& payload) {
        Found answer{id, 0, 0};
        if (!find_identity(payload, answer.model_code, answer.firmware_word)) {
            return;
        }
        std::lock_guard<std::mutex> lock(mutex);
        if (id >= first && id <= last) {
            found.push_back(answer);
        }
    }

  private:
    std::mutex mutex;  // guards the three fields below
    int first = 0;
    int last = -1;
    std::vector<Found> found;
};

// The decoders of one discovery window: registered one id at a time, all removed by `release`
// or, on an early exit, by the destructor. The owner's own id gets its own callback back.
class WindowRegistration {
  public:
    WindowRegistration(OXL& oxl, int own_id, std::function<OXL::MessageCallback()> own_callback)
        : oxl(oxl), own_id(own_id), own_callback(std::move(own_callback)) {}
    ~WindowRegistration() { release(); }
    WindowRegistration(const WindowRegistration&) = delete;
    WindowRegistration& operator=(const WindowRegistration&) = delete;

    void add(int id, OXL::MessageCallback callback) {
        ids.push_back(id);  // before the registration, so that a failure still undoes it
        oxl.setCallback(id, std::move(callback));
    }
    void release() {
        while (!ids.empty()) {
            const int id = ids.back();
            ids.pop_back();
            if (id == own_id) {
                oxl.setCallback(id, own_callback());
            } else {
                oxl.removeCallback(id);
            }
        }
    }

  private:
    OXL& oxl;
    const int own_id;
    const std::function<OXL::MessageCallback()> own_callback;
    std::vector<int> ids;
};

// Lines are formatted apart from the target stream so that its flags are left as found.
std::string to_hex(int value) {
    std::ostringstream out;
    out << std::hex << static_cast<unsigned>(value);
    return out.str();
}

// Stores `callback` in `slot` under `mutex` (null for an empty callable). The callable the slot
// held before is released after the lock: its captures' destructors are the application's code.
template <class Callback>
void replace_callback(std::mutex& mutex, std::shared_ptr<const Callback>& slot, Callback callback) {
    std::shared_ptr<const Callback> next;
    if (callback) {
        next = std::make_shared<const Callback>(std::move(callback));
    }
    std::lock_guard<std::mutex> lock(mutex);
    slot.swap(next);
}

}  // namespace

std::string error_description(int bit) {
    for (const ErrorDescription& entry : error_table()) {
        if (entry.bit == bit) {
            return entry.text;
        }
    }
    return {};
}

void append_float(std::vector<uint8_t>& payload, float value) {
    append_f32(payload, value);
}

const std::vector<std::string> OrvexActuator::MODELS_NAMES = {
    "",      "ARVEN", "BRISO", "CALDE", "DORVA", "CAN_ADAPTER",
    "EMBRA", "FJALO", "GLENT", "HAVRO", "IVAST"};

OrvexActuator::OrvexActuator(OXL& oxl_, int address_)
    : oxl(oxl_),
      address(address_),
      model(MODELS_NAMES.empty() ? std::string() : MODELS_NAMES[0]),
      alive(std::make_shared<std::atomic<bool>>(true)) {
    error_callback = std::make_shared<const ErrorCallback>(
        [this](int addr, ErrorMap errors) { default_error_callback(addr, errors); });
    oxl.setCallback(address, make_message_callback());
}

OrvexActuator::~OrvexActuator() {
    // Cleared before the removal: a callback still registered under another id then returns at
    // once, and removeCallback waits out one that is running now (dispatch holds the registry
    // lock while it runs).
    alive->store(false, std::memory_order_release);
    stop();
    oxl.removeCallback(address);
}

OXL::MessageCallback OrvexActuator::make_message_callback() {
    std::shared_ptr<std::atomic<bool>> flag = alive;
    return [flag, this](int id, std::vector<uint8_t> payload, int reply_flag) {
        if (!flag->load(std::memory_order_acquire)) {
            return;
        }
        can_callback(id, std::move(payload), reply_flag);
    };
}

void OrvexActuator::read_identity(std::string& model_out, std::string& firmware_out) const {
    std::lock_guard<std::mutex> lock(state_mutex);
    model_out = model;
    firmware_out = firmware;
}

int OrvexActuator::current_address() const {
    std::lock_guard<std::mutex> lock(state_mutex);
    return address;
}

// ---- connection and common send path ----

void OrvexActuator::disconnect() {
    stop();
    // Not under the command lock: the removal waits for a running message callback, which may
    // itself be sending a command.
    oxl.removeCallback(current_address());
    std::lock_guard<std::mutex> lock(command_mutex);
    connected = false;
}

void OrvexActuator::send_oxl_common(const std::vector<uint8_t>& payload) {
    oxl.send_OXL(current_address(), payload);
}

bool OrvexActuator::send_ping(float timeout_s) {
    ping_answered.store(false);
    send_oxl_common({kCmdPing});
    const auto start = Clock::now();
    for (;;) {
        if (!(timeout_s > elapsed_seconds(start))) {
            return false;
        }
        if (ping_answered.load()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool OrvexActuator::connect(float timeout_s) {
    const bool answered = send_ping(timeout_s);
    std::lock_guard<std::mutex> lock(command_mutex);
    connected = answered;
    return answered;
}

// ---- commands ----

void OrvexActuator::start() {
    send_oxl_common({kCmdStart});
}

void OrvexActuator::stop() {
    send_oxl_common({kCmdStop});
}

void OrvexActuator::change_mode(Mode m) {
    std::lock_guard<std::mutex> lock(command_mutex);
    record_and_send_mode(m);
}

void OrvexActuator::record_and_send_mode(Mode m) {
    mode = m;
    send_oxl_common({kCmdMode, static_cast<uint8_t>(m)});
}

void OrvexActuator::change_setpoint(float a, float b, float c) {
    std::vector<uint8_t> payload;
    if (b == 0.0f && c == 0.0f) {
        payload.push_back(kCmdSetpoint);
        append_float(payload, a);
    } else {
        payload.push_back(kCmdSetpointLong);
        for (float v : {a, b, c}) {
            append_float(payload, v);
        }
    }
    send_oxl_common(payload);
}

void OrvexActuator::send_mode_then(Mode m, uint8_t command, std::initializer_list<float> values) {
    std::vector<uint8_t> payload;
    payload.reserve(1 + 4 * values.size());
    payload.push_back(command);
    for (float v : values) {
        append_float(payload, v);
    }
    // The mode check, the mode message and the setpoint go together: a setpoint of another kind
    // from another thread can neither slip in between nor leave the cache unlike the device.
    std::lock_guard<std::mutex> lock(command_mutex);
    if (mode != m) {
        record_and_send_mode(m);
    }
    send_oxl_common(payload);
}

void OrvexActuator::change_torque_setpoint(float setpoint, float o1, float o2, float o3, float o4) {
    send_mode_then(Mode::TORQUE, kCmdTorqueSetpoint, {setpoint, o1, o2, o3, o4});
}

void OrvexActuator::change_speed_setpoint(float setpoint, float o1, float o2, float o3, float o4) {
    send_mode_then(Mode::SPEED, kCmdSpeedSetpoint, {setpoint, o1, o2, o3, o4});
}

void OrvexActuator::change_position_setpoint(float setpoint, float o1, float o2, float o3, float o4,
                                             float o5) {
    send_mode_then(Mode::POSITION, kCmdPositionSetpoint, {setpoint, o1, o2, o3, o4, o5});
}

void OrvexActuator::change_impedance_setpoint(float setpoint, float o1, float o2, float o3,
                                              float o4, float o5, float o6, float o7) {
    send_mode_then(Mode::IMPEDANCE, kCmdImpedanceSetpoint, {setpoint, o1, o2, o3, o4, o5, o6, o7});
}

void OrvexActuator::internal_change_speed_setpoint(float x1, float x2, float x3, float x4) {
    send_mode_then(Mode::SPEED, kCmdInternalSpeedSetpoint, {x1, x2, x3, x4});
}

void OrvexActuator::internal_change_position_setpoint(float x1, float x2, float x3, float x4,
                                                      float x5, float x6, float x7, float x8,
                                                      float x9) {
    send_mode_then(Mode::POSITION, kCmdInternalPositionSetpoint,
                   {x1, x2, x3, x4, x5, x6, x7, x8, x9});
}

void OrvexActuator::blink() {
    send_oxl_common({kCmdBlink});
}

void OrvexActuator::set_home_position() {
    send_oxl_common({kCmdHome});
}

void OrvexActuator::enter_bootloader() {
    send_oxl_common({kCmdBootloader});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

// ---- feedback ----

// Item entries of one message, decoded before any state is touched: at most one slot per
// distinct item code, whatever the payload length; `seen` marks the codes already present so
// that a repeated code overwrites its slot.
struct OrvexActuator::DecodedItems {
    // In frame order, laid out as a sample's items so that they are copied there in one go.
    std::array<ItemValue, kItemCodes.size()> entries;
    // index[i]: the position of entries[i].item in kItemCodes.
    std::array<uint8_t, kItemCodes.size()> index;
    std::array<uint8_t, kItemCodes.size()> slot_of;
    uint64_t seen = 0;
    std::size_t count = 0;

    void put(uint8_t code, uint8_t position, float value) {
        const uint64_t bit = uint64_t{1} << position;
        if (seen & bit) {
            entries[slot_of[position]].value = value;
        } else {
            seen |= bit;
            slot_of[position] = static_cast<uint8_t>(count);
            index[count] = position;
            entries[count++] = {static_cast<OXL_Items>(code), value};
        }
    }

    // The item map the feedback callback receives. Copied from an empty map already sized for a
    // whole frame: the copy takes over its bucket count, where reserve() would work the count
    // out again for every frame.
    FeedbackMap to_map() const {
        static const FeedbackMap sized_for_a_frame = [] {
            FeedbackMap empty;
            empty.reserve(kMaxItemsPerFrame);
            return empty;
        }();
        FeedbackMap items(sized_for_a_frame);
        for (std::size_t i = 0; i < count; ++i) {
            items.try_emplace(entries[i].item, entries[i].value);
        }
        return items;
    }
};

namespace {

float item_value(ItemClass cls, uint32_t word) {
    switch (cls) {
        case ItemClass::UNSIGNED:
            return static_cast<float>(word);
        case ItemClass::SIGNED: {
            int32_t signed_word;
            std::memcpy(&signed_word, &word, sizeof signed_word);
            return static_cast<float>(signed_word);
        }
        default:
            return float_from_bits(word);
    }
}

}  // namespace

void OrvexActuator::can_callback(int /*id*/, std::vector<uint8_t> payload, int reply_flag) {
    DecodedItems items;
    if (!decode_message(payload, items)) {
        return;
    }
    if (reply_flag != 0) {
        store_requested_items(items);
        return;
    }
    deliver_streamed_items(items);
}

bool OrvexActuator::decode_message(const std::vector<uint8_t>& payload, DecodedItems& items) {
    const auto& table = item_table();
    const std::size_t n = payload.size();
    const uint8_t* p = payload.data();
    for (std::size_t pos = 0; pos < n; pos += kEntrySize) {
        const uint8_t c = p[pos];
        // Every entry but a parameter report has 4 bytes after its code; one cut short ends the
        // list, and the entries before it are delivered.
        const bool complete = pos + 4 < n;
        // Item entries first: they make up streamed frames, and no item code is a report code.
        const ItemInfo info = table[c];
        if (info.cls != ItemClass::NONE) {
            if (!complete) {
                break;
            }
            items.put(c, info.index, item_value(info.cls, read_u32(p + pos + 1)));
            continue;
        }
        if (c == kReportEnd) {
            break;
        }
        if (c == kReportIdentity) {
            if (!complete) {
                break;
            }
            store_identity(read_u16(p + pos + 1), read_u16(p + pos + 3));
            return false;
        }
        if (c == kReportParameters) {
            // pos + 1 <= n, and n fits the vector; a payload beyond int range is not a message.
            if (pos + 1 <= static_cast<std::size_t>(std::numeric_limits<int>::max())) {
                parse_parameters(payload, static_cast<int>(pos + 1));
            }
            return false;
        }
        if (c == kReportErrors) {
            if (!complete) {
                break;
            }
            parse_errors(read_u32(p + pos + 1));
            return false;
        }
        details::log_line(std::cerr, LogSeverity::WARNING,
                          "Unknown command 0x" + to_hex(static_cast<int>(c)));
        return false;
    }
    return true;
}

void OrvexActuator::store_identity(uint16_t model_code, uint16_t firmware_word) {
    std::string version = parse_firmware_version(firmware_word);
    std::string name = model_name(model_code);
    {
        std::lock_guard<std::mutex> lock(state_mutex);
        firmware = std::move(version);
        model = std::move(name);
    }
    ping_answered.store(true);
}

void OrvexActuator::store_requested_items(const DecodedItems& items) {
    FeedbackMap answer = items.to_map();
    std::lock_guard<std::mutex> lock(state_mutex);
    requested_items.swap(answer);
    // The old answer is destroyed after the lock is released.
}

void OrvexActuator::deliver_streamed_items(const DecodedItems& items) {
    const int64_t received_at = oxl.dispatch_receive_time_ns();
    const uint32_t in_sample =
        static_cast<uint32_t>(std::min<std::size_t>(items.count, kMaxItemsPerFrame));
    FeedbackSlot callback;
    SampleSlot timed_callback;
    uint64_t sequence;
    int addr;
    {
        std::lock_guard<std::mutex> lock(state_mutex);
        for (std::size_t i = 0; i < items.count; ++i) {
            feedback.value[items.index[i]] = items.entries[i].value;
        }
        feedback.present |= items.seen;
        count_arrival(received_at);
        // The latest sample is kept as positions only; its values are the ones just stored.
        latest_receive_ns = received_at;
        sequence = ++delivered_frames;
        std::memcpy(latest_positions.data(), items.index.data(), in_sample);
        latest_count = in_sample;
        callback = feedback_callback;
        timed_callback = sample_callback;
        addr = address;
    }
    // Both callbacks see every frame: if the first throws, the second still runs before the
    // exception goes on to the transport's receive loop.
    if (timed_callback) {
        FeedbackSample sample;
        sample.receive_time_ns = received_at;
        sample.sequence = sequence;
        sample.count = in_sample;
        std::memcpy(sample.items.data(), items.entries.data(), in_sample * sizeof(ItemValue));
        try {
            (*timed_callback)(addr, sample);
        } catch (...) {
            if (callback) {
                (*callback)(addr, items.to_map());
            }
            throw;
        }
    }
    if (callback) {
        (*callback)(addr, items.to_map());
    }
}

void OrvexActuator::count_arrival(int64_t receive_time_ns) {
    ++arrivals.frames_received;
    if (receive_time_ns == 0) {
        return;  // not stamped by a transport: no interval to measure
    }
    if (last_arrival_ns != 0 && receive_time_ns > last_arrival_ns) {
        const int64_t gap = receive_time_ns - last_arrival_ns;
        arrivals.largest_gap_ns = std::max(arrivals.largest_gap_ns, gap);
        const int64_t period = arrivals.period_ns;
        if (period > 0 && 2 * gap > 3 * period) {
            // round(gap / period) - 1, halves rounded up
            arrivals.frames_missing += static_cast<uint64_t>((gap + period / 2) / period - 1);
        }
    }
    last_arrival_ns = receive_time_ns;
}

void OrvexActuator::setFeedbackItems(const std::vector<OXL_Items>& items) {
    std::vector<uint8_t> payload;
    payload.reserve(1 + items.size());
    payload.push_back(kCmdFeedbackItems);
    for (OXL_Items item : items) {
        payload.push_back(static_cast<uint8_t>(item));
    }
    send_oxl_common(payload);
    std::lock_guard<std::mutex> lock(state_mutex);
    feedback.present = 0;
}

void OrvexActuator::setFeedbackRate(int rate_hz) {
    if (rate_hz < 0) {
        details::log_line(std::cerr, LogSeverity::ERROR, "Rate must be non-negative");
        return;
    }
    if (rate_hz > kMaxRateHz) {
        details::log_line(std::cerr, LogSeverity::ERROR,
                          "Rate cannot exceed " + std::to_string(kMaxRateHz) + " Hz");
        return;
    }
    const auto period = static_cast<uint32_t>(feedback_period_ticks(rate_hz));
    std::vector<uint8_t> payload{kCmdFeedbackRate};
    append_u32(payload, period);
    send_oxl_common(payload);
    // After the send: a frame of the old rate still on its way arrives before the first one of
    // the new rate, at most about one new period earlier, so it does not count as a gap.
    std::lock_guard<std::mutex> lock(state_mutex);
    arrivals = FeedbackCounters{};
    arrivals.period_ns = static_cast<int64_t>(period) * kTickNs;
    last_arrival_ns = 0;
}

void OrvexActuator::setFeedbackRate(Rates rate) {
    setFeedbackRate(static_cast<int>(rate));
}

void OrvexActuator::set_feedback_sample_callback(FeedbackSampleCallback callback) {
    replace_callback(state_mutex, sample_callback, std::move(callback));
}

OrvexActuator::FeedbackSample OrvexActuator::get_feedback_sample() const {
    FeedbackSample sample;
    std::lock_guard<std::mutex> lock(state_mutex);
    sample.receive_time_ns = latest_receive_ns;
    sample.sequence = delivered_frames;
    sample.count = latest_count;
    for (uint32_t i = 0; i < latest_count; ++i) {
        const uint8_t position = latest_positions[i];
        sample.items[i] = {static_cast<OXL_Items>(kItemCodes[position]), feedback.value[position]};
    }
    return sample;
}

OrvexActuator::FeedbackCounters OrvexActuator::get_feedback_counters() const {
    std::lock_guard<std::mutex> lock(state_mutex);
    return arrivals;
}

void OrvexActuator::set_feedback_callback(FeedbackCallback callback) {
    replace_callback(state_mutex, feedback_callback, std::move(callback));
}

OrvexActuator::FeedbackMap OrvexActuator::get_feedback() const {
    ItemValues values;
    {
        std::lock_guard<std::mutex> lock(state_mutex);
        values = feedback;
    }
    FeedbackMap items;
    for (std::size_t i = 0; i < kItemCodes.size(); ++i) {
        if (values.present & (uint64_t{1} << i)) {
            items.emplace(static_cast<OXL_Items>(kItemCodes[i]), values.value[i]);
        }
    }
    return items;
}

OrvexActuator::FeedbackMap OrvexActuator::getItemsBlocking(const std::vector<OXL_Items>& items,
                                                           float timeout_s) {
    std::vector<uint8_t> payload{kCmdRequestItems};
    const std::size_t n = std::min(items.size(), kMaxCodesPerRequest);
    for (std::size_t i = 0; i < n; ++i) {
        payload.push_back(static_cast<uint8_t>(items[i]));
    }
    {
        FeedbackMap old;
        std::lock_guard<std::mutex> lock(state_mutex);
        requested_items.swap(old);
    }
    send_oxl_common(payload);
    const auto start = Clock::now();
    for (;;) {
        if (!(timeout_s > elapsed_seconds(start))) {
            details::log_line(std::cerr, LogSeverity::WARNING,
                              "Timeout waiting for feedback items");
            return {};
        }
        {
            std::lock_guard<std::mutex> lock(state_mutex);
            if (!requested_items.empty()) {
                return requested_items;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void OrvexActuator::set_low_freq_feedback_callback(std::function<void(FeedbackMap)> /*callback*/) {}

void OrvexActuator::set_low_freq_feedback_items(const std::vector<OXL_Items>& /*items*/) {}

void OrvexActuator::set_low_freq_feedback_rate(int /*rate_hz*/) {}

void OrvexActuator::set_low_freq_feedback_rate(Rates /*rate*/) {}

// ---- errors and identity ----

void OrvexActuator::parse_errors(uint32_t error_bits) {
    const auto& table = error_table();
    // Inserted from the highest bit down into enough buckets for every bit number, so that with
    // libstdc++ the map iterates in ascending bit order (each node lands in a bucket of its own
    // and goes to the front of the list; a copy keeps that order). The standard promises no
    // order, so whatever prints the errors sorts the bits itself.
    ErrorMap errors;
    errors.reserve(32);
    for (auto it = table.rbegin(); it != table.rend(); ++it) {
        if (error_bits & (uint32_t{1} << it->bit)) {
            errors.emplace(it->bit, it->text);
        }
    }
    if (errors.empty()) {
        return;
    }
    ErrorSlot callback;
    int addr;
    {
        std::lock_guard<std::mutex> lock(state_mutex);
        callback = error_callback;
        addr = address;
    }
    if (callback) {
        (*callback)(addr, std::move(errors));
    }
}

void OrvexActuator::set_error_callback(ErrorCallback callback) {
    replace_callback(state_mutex, error_callback, std::move(callback));
}

void OrvexActuator::default_error_callback(int address_, const ErrorMap& errors) {
    std::vector<int> bits;
    bits.reserve(errors.size());
    for (const auto& entry : errors) {
        bits.push_back(entry.first);
    }
    std::sort(bits.begin(), bits.end());
    const std::string prefix = "Actuator 0x" + to_hex(address_);
    for (int bit : bits) {
        details::log_line(std::cerr, LogSeverity::ERROR,
                          prefix + " Error code: " + std::to_string(bit) + " - " + errors.at(bit));
        if (oxl_api::is_serious_error(bit)) {
            stop();
            details::log_line(std::cerr, LogSeverity::WARNING,
                              prefix + " Stopping (override error_callback to change)");
        }
    }
}

std::string OrvexActuator::parse_firmware_version(uint16_t word) {
    return std::to_string(word >> 11) + "." + std::to_string((word >> 6) & 0x1F) + "." +
           std::to_string(word & 0x3F);
}

// ---- parameters ----

void OrvexActuator::set_parameters(const ParameterMap& values) {
    std::vector<uint8_t> payload{kCmdWriteParameters};
    std::size_t in_payload = 0;
    for (const auto& entry : values) {
        payload.push_back(static_cast<uint8_t>(entry.first));
        append_float(payload, entry.second);
        if (++in_payload == kMaxCodesPerRequest) {
            send_oxl_common(payload);
            payload.assign(1, kCmdWriteParameters);
            in_payload = 0;
        }
    }
    if (in_payload > 0) {
        send_oxl_common(payload);
    }
}

OrvexActuator::ParameterMap OrvexActuator::get_parameters(const std::vector<OXL_Parameters>& codes,
                                                          float timeout_s) {
    // Chunks of 9 codes, each requested only after the previous one was answered. A time-out of
    // the first chunk yields an empty map; a later one ends the chain, and the cache is returned.
    std::size_t first = 0;
    do {
        const std::size_t count = std::min(codes.size() - first, kMaxCodesPerRequest);
        std::vector<uint8_t> payload{kCmdReadParameters};
        for (std::size_t i = first; i < first + count; ++i) {
            payload.push_back(static_cast<uint8_t>(codes[i]));
        }
        parameters_received.store(false, std::memory_order_release);
        send_oxl_common(payload);
        const auto start = Clock::now();
        while (timeout_s > elapsed_seconds(start)) {
            if (parameters_received.load(std::memory_order_acquire)) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!parameters_received.load(std::memory_order_acquire)) {
            details::log_line(std::cerr, LogSeverity::WARNING, "Timeout waiting for parameters");
            if (first == 0) {
                return {};
            }
            break;
        }
        first += count;
    } while (first < codes.size());
    std::lock_guard<std::mutex> lock(state_mutex);
    return parameters;
}

OrvexActuator::ParameterMap OrvexActuator::get_parameters_all() {
    return get_parameters(std::vector<OXL_Parameters>(kAllParameters.begin(), kAllParameters.end()),
                          1.0f);
}

void OrvexActuator::parse_parameters(const std::vector<uint8_t>& payload, int offset) {
    if (offset < 0 || static_cast<std::size_t>(offset) > payload.size()) {
        return;
    }
    const std::size_t limit = (payload.size() - static_cast<std::size_t>(offset)) / kEntrySize;
    const uint8_t* p = payload.data() + offset;
    bool stored = false;
    {
        std::lock_guard<std::mutex> lock(state_mutex);
        for (std::size_t k = 0; k < limit; ++k, p += kEntrySize) {
            const uint8_t code = p[0];
            if (code == kReportEnd) {
                break;
            }
            const uint32_t word = read_u32(p + 1);
            float value = float_from_bits(word);
            if (code == static_cast<uint8_t>(Params::MODE)) {
                value = static_cast<float>(saturating_int32(value));
            } else if (is_unsigned_parameter(code)) {
                value = static_cast<float>(word);
            }
            parameters[static_cast<OXL_Parameters>(code)] = value;
            stored = true;
        }
    }
    if (stored) {
        parameters_received.store(true, std::memory_order_release);
    }
}

void OrvexActuator::restore_factory_parameters(float wait_s) {
    {
        std::lock_guard<std::mutex> lock(command_mutex);
        stop();
        setFeedbackRate(Rates::RATE_0HZ);
        send_oxl_common({kCmdClearConfig});
        can_high_speed = false;
        mode = Mode::SPEED;
    }
    {
        FeedbackMap old_requested;
        ParameterMap old_parameters;
        std::lock_guard<std::mutex> lock(state_mutex);
        feedback.present = 0;
        requested_items.swap(old_requested);
        parameters.swap(old_parameters);
    }
    if (wait_s > 0.0f) {
        // Truncated to whole milliseconds; a wait too long for 64 bits saturates.
        const float ms = wait_s * 1000.0f;
        const long long whole =
            ms >= 9.2e18f ? std::numeric_limits<long long>::max() : static_cast<long long>(ms);
        if (whole > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(whole));
        }
    }
}

void OrvexActuator::set_torque_performance(TorquePerformance performance) {
    send_oxl_common({kCmdTorquePerformance, static_cast<uint8_t>(performance)});
}

void OrvexActuator::set_speed_performance(SpeedPerformance performance) {
    send_oxl_common({kCmdSpeedPerformance, static_cast<uint8_t>(performance)});
}

// ---- device configuration ----

void OrvexActuator::changeAddress(int new_address) {
    std::lock_guard<std::mutex> command_lock(command_mutex);
    if (new_address == address) {
        details::log_line(std::cerr, LogSeverity::ERROR,
                          "New address is the same as current: " + std::to_string(address));
        return;
    }
    if (new_address < kFirstActuatorAddress || new_address > kLastOxlId) {
        details::log_line(
            std::cerr, LogSeverity::ERROR,
            "Invalid address " + std::to_string(new_address) + ". Must be 0x10..0x3FFE");
        return;
    }
    set_parameters({{OXL_Parameters::ADDRESS, static_cast<float>(new_address)}});
    std::lock_guard<std::mutex> lock(state_mutex);
    address = new_address;
}

void OrvexActuator::set_can_high_speed(bool enabled) {
    std::lock_guard<std::mutex> lock(command_mutex);
    can_high_speed = enabled;
    set_parameters({{OXL_Parameters::CAN_HIGH_SPEED, enabled ? 1.0f : 0.0f}});
}

void OrvexActuator::save_config() {
    send_oxl_common({kCmdSaveConfig});
}

void OrvexActuator::clear_config() {
    send_oxl_common({kCmdClearConfig});
    details::log_line(std::cerr, LogSeverity::WARNING,
                      "Warning: Actuator configuration cleared. Device will reset.");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

// ---- bus scanner ----

OrvexActuatorScanner::OrvexActuatorScanner(OXL& oxl_) : OrvexActuator(oxl_, 0) {
    if (!connect(kAdapterCheckTimeoutS)) {
        details::log_line(std::cerr, LogSeverity::ERROR, "CAN adapter not responding");
        return;
    }
    std::string adapter_model;
    std::string adapter_firmware;
    read_identity(adapter_model, adapter_firmware);
    if (adapter_model.find("CAN_ADAPTER") == std::string::npos) {
        details::log_line(std::cerr, LogSeverity::ERROR,
                          "Device is not a CAN adapter, it's a " + adapter_model);
        oxl.close();
    }
}

std::vector<int> OrvexActuatorScanner::discover(int first, int last, int window,
                                                const DiscoveryProgress& progress) {
    std::vector<int> found;
    if (!connected) {
        details::log_line(std::cerr, LogSeverity::ERROR, "CAN adapter is not connected");
        return found;
    }
    const int lo = std::max(first, 0);
    const int hi = std::min(last, kLastOxlId);
    if (lo > hi) {
        return found;
    }
    window = std::max(window, 1);
    const int total = hi - lo + 1;
    const auto inbox = std::make_shared<DiscoveryInbox>();
    WindowRegistration registration(oxl, address, [this] { return make_message_callback(); });
    auto next_ping = Clock::now();
    for (int start = lo; start <= hi;) {
        const int end = start + std::min(window - 1, hi - start);
        inbox->open(start, end);
        for (int id = start; id <= end; ++id) {
            registration.add(id, [inbox](int from, std::vector<uint8_t> payload, int) {
                inbox->offer(from, payload);
            });
        }
        for (int id = start; id <= end; ++id) {
            std::this_thread::sleep_until(next_ping);
            oxl.send_OXL(id, {kCmdPing});
            // The pace is kept on average; after a hold-up at most a few pings catch up at once.
            next_ping =
                std::max(next_ping, Clock::now() - kDiscoveryBurst * kDiscoveryPingInterval) +
                kDiscoveryPingInterval;
        }
        std::this_thread::sleep_until(Clock::now() + kDiscoveryAnswerWait);
        registration.release();
        std::vector<Found> answers = inbox->close();
        std::sort(answers.begin(), answers.end(),
                  [](const Found& a, const Found& b) { return a.id < b.id; });
        for (const Found& answer : answers) {
            if (!found.empty() && found.back() == answer.id) {
                continue;  // a device that answered twice
            }
            details::log_line(std::cout, LogSeverity::INFO,
                              "Device found: address 0x" + to_hex(answer.id) + " (" +
                                  std::to_string(answer.id) + ")\tmodel " +
                                  model_name(answer.model_code) + "\tfirmware " +
                                  parse_firmware_version(answer.firmware_word));
            found.push_back(answer.id);
        }
        start = end + 1;
        if (progress && !progress(start - lo, total)) {
            break;
        }
    }
    return found;
}

std::vector<int> OrvexActuatorScanner::scan(int first, int last) {
    std::vector<int> found;
    if (!connected) {
        details::log_line(std::cerr, LogSeverity::ERROR, "CAN adapter is not connected");
        return found;
    }
    if (first > last) {
        return found;
    }
    for (int id = first;; ++id) {
        oxl.setCallback(id, make_message_callback());
        ping_answered.store(false);
        oxl.send_OXL(id, {kCmdPing});
        const auto start = Clock::now();
        bool answered = false;
        while (elapsed_seconds(start) < kScanWaitS) {
            if (ping_answered.load()) {
                answered = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (answered) {
            std::string device_model;
            std::string device_firmware;
            read_identity(device_model, device_firmware);
            details::log_line(std::cout, LogSeverity::INFO,
                              "Device found: address 0x" + to_hex(id) + " (" + std::to_string(id) +
                                  ")\tmodel " + device_model + "\tfirmware " + device_firmware);
            found.push_back(id);
        }
        if (id >= 0) {
            oxl.removeCallback(id);
        }
        if (id == last) {
            break;
        }
    }
    return found;
}

// ---- probe ----

std::optional<DeviceIdentity> probe_identity(OXL& oxl, int id, float timeout_s) {
    if (!OXL::check_oxl_id_range(id)) {
        return std::nullopt;  // send_OXL would print about it
    }
    // Shared with the callback, which the transport may still hold while this function unwinds.
    struct Answer {
        std::mutex mutex;
        std::condition_variable arrived;
        std::optional<DeviceIdentity> identity;
    };
    const auto answer = std::make_shared<Answer>();
    const bool registered =
        oxl.setCallbackIfFree(id, [answer](int, std::vector<uint8_t> payload, int) {
            uint16_t model_code = 0;
            uint16_t firmware_word = 0;
            if (!find_identity(payload, model_code, firmware_word)) {
                return;
            }
            {
                std::lock_guard<std::mutex> lock(answer->mutex);
                answer->identity = DeviceIdentity{
                    model_name(model_code), OrvexActuator::parse_firmware_version(firmware_word)};
            }
            answer->arrived.notify_all();
        });
    if (!registered) {
        return std::nullopt;
    }
    if (oxl.send_OXL(id, {kCmdPing})) {
        // NaN and negative wait nothing; the cap keeps the deadline within the clock's range.
        const float seconds = timeout_s > 0.0f ? std::min(timeout_s, 1e6f) : 0.0f;
        const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<float>(seconds));
        std::unique_lock<std::mutex> lock(answer->mutex);
        answer->arrived.wait_until(lock, deadline,
                                   [&answer] { return answer->identity.has_value(); });
    }
    oxl.removeCallback(id);
    std::lock_guard<std::mutex> lock(answer->mutex);
    return answer->identity;
}

}  // namespace oxl_api
