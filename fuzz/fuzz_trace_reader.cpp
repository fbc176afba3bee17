// Feeds arbitrary text, line by line, to the candump log reader. A line must be refused with a
// reason or read; a line that is read must write back (format_candump_line) to a line that reads
// as the same message.
#include <oxl_api/trace.hpp>

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = text.substr(start, end - start);
        start = end + 1;

        oxl_api::TraceRecord message;
        std::string name;
        std::string error;
        if (!oxl_api::parse_candump_line(line, message, name, error)) {
            if (error.empty()) {
                std::abort();  // a refusal always says why
            }
            continue;
        }
        if (message.size > 59 || message.id > 0x3FFF || message.reply_flag > 1) {
            std::abort();
        }
        const std::string again = oxl_api::format_candump_line(message, message.time_ns, name);
        oxl_api::TraceRecord back;
        std::string back_name;
        if (!oxl_api::parse_candump_line(again, back, back_name, error) ||
            back.time_ns / 1000 != message.time_ns / 1000 || back.direction != message.direction ||
            back.id != message.id || back.host_id != message.host_id ||
            back.reply_flag != message.reply_flag || back.payload() != message.payload() ||
            back_name != name) {
            std::abort();
        }
    }
    return 0;
}
