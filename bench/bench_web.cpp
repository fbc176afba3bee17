// CPU cost of `oxl web`: the tool serves N simulated actuators streaming at a rate, and this
// program measures the CPU time of the tool's process (user + system, from /proc) over a window,
// first with no page open, then with one page's event stream open, read here as a page would
// read it. The difference is what serving the view costs. Frames lost to the view are counted
// from the per-actuator sequence numbers of the data events.
//
//   bench_web OXL [actuators=12] [rate_hz=1000] [window_s=10]
#include <httplib.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Json = nlohmann::json;

// User + system CPU seconds of process `pid` so far.
double cpu_seconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) {
            utime = std::stoll(field);
        } else if (i == 15) {
            stime = std::stoll(field);
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct Tool {
    pid_t pid = -1;
    int port = 0;
};

Tool start_tool(const std::string& oxl, int actuators) {
    std::string ids;
    for (int i = 0; i < actuators; ++i) {
        ids += (i == 0 ? "" : ",") + std::to_string(0x20 + i);
    }
    int out[2];
    if (pipe(out) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    Tool tool;
    tool.pid = fork();
    if (tool.pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        execl(oxl.c_str(), oxl.c_str(), "--sim-actuators", ids.c_str(), "web", "--http-port", "0",
              static_cast<char*>(nullptr));
        std::_Exit(127);
    }
    close(out[1]);
    std::string line;
    char c = 0;
    while (read(out[0], &c, 1) == 1 && c != '\n') {
        line += c;
    }
    const auto colon = line.rfind(':');
    tool.port = colon == std::string::npos ? 0 : std::atoi(line.c_str() + colon + 1);
    if (tool.port <= 0) {
        std::cerr << "no address printed: " << line << std::endl;
        std::exit(1);
    }
    return tool;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: bench_web OXL [actuators=12] [rate_hz=1000] [window_s=10]"
                  << std::endl;
        return 2;
    }
    const std::string oxl = argv[1];
    const int actuators = argc > 2 ? std::atoi(argv[2]) : 12;
    const int rate = argc > 3 ? std::atoi(argv[3]) : 1000;
    const double window_s = argc > 4 ? std::atof(argv[4]) : 10.0;

    const Tool tool = start_tool(oxl, actuators);
    httplib::Client client("127.0.0.1", tool.port);
    const httplib::Headers headers{{"X-Oxl-Page", "bench"}};
    client.Post("/api/scan", headers,
                R"({"from":32,"to":)" + std::to_string(0x20 + actuators) + "}", "application/json");
    for (int i = 0; i < 100; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const auto state = client.Get("/api/state");
        if (state && !Json::parse(state->body)["scan"]["running"].get<bool>()) {
            std::cout << "actuators found: " << Json::parse(state->body)["devices"].size()
                      << std::endl;
            break;
        }
    }
    client.Post(
        "/api/stream", headers,
        R"({"items":["POSITION_4C","SPEED_45","TORQUE_56"],"rate":)" + std::to_string(rate) + "}",
        "application/json");
    std::this_thread::sleep_for(std::chrono::seconds(1));

    const auto measure = [&](const char* what) {
        const double cpu0 = cpu_seconds(tool.pid);
        const auto t0 = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(window_s));
        const double cpu = cpu_seconds(tool.pid) - cpu0;
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::printf("%-32s CPU %.1f %% of one core\n", what, 100.0 * cpu / wall);
        return 100.0 * cpu / wall;
    };
    const double idle = measure("streaming, no page open:");

    // One page: its event stream read in a thread, every data event's frames checked in order.
    std::map<int, uint64_t> last_sequence;
    std::atomic<uint64_t> frames{0};
    uint64_t lost = 0, events = 0;
    std::atomic<bool> done{false};
    std::thread page([&] {
        httplib::Client stream("127.0.0.1", tool.port);
        stream.set_read_timeout(5, 0);
        std::string pending;
        stream.Get("/api/events?page=bench-view", [&](const char* data, std::size_t size) {
            pending.append(data, size);
            std::size_t end = 0;
            while ((end = pending.find("\n\n")) != std::string::npos) {
                const std::string event = pending.substr(0, end);
                pending.erase(0, end + 2);
                if (event.rfind("data: ", 0) != 0) {
                    continue;
                }
                const Json doc = Json::parse(event.substr(6));
                if (doc["type"] != "data") {
                    continue;
                }
                ++events;
                for (const auto& d : doc["d"]) {
                    const int id = d["id"];
                    const uint64_t first = d["seq"], n = d["n"];
                    const auto it = last_sequence.find(id);
                    if (it != last_sequence.end() && first > it->second + 1) {
                        lost += first - it->second - 1;
                    }
                    last_sequence[id] = first + n - 1;
                    frames += n;
                }
            }
            return !done.load();
        });
    });
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const uint64_t frames_before = frames;
    const double open = measure("streaming, one page open:");
    const uint64_t frames_in_window = frames - frames_before;
    done = true;
    page.join();
    kill(tool.pid, SIGINT);
    int status = 0;
    waitpid(tool.pid, &status, 0);

    std::printf("server's share with a page open: %.1f %% of one core\n", open - idle);
    std::printf(
        "frames to the view: %llu in the window (%.0f per second, expected %d), "
        "lost %llu, data events %llu\n",
        static_cast<unsigned long long>(frames_in_window),
        static_cast<double>(frames_in_window) / window_s, actuators * rate,
        static_cast<unsigned long long>(lost), static_cast<unsigned long long>(events));
    return lost == 0 ? 0 : 1;
}
