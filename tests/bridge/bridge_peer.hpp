#pragma once
// A ROS-2-like DDS peer of `oxl bridge` for the tests and the benchmark: a plain Cyclone DDS
// participant built from the same IDL, and the bridge run as a child process.

#include <dds/dds.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ros_messages.h"

namespace bridge_test {

/// Makes this process and its children use Cyclone DDS on the loopback interface only, with
/// unicast discovery, in a domain of their own (so that parallel runs do not see each other).
inline void use_loopback_dds(const std::string& scratch_dir) {
    const int domain = 100 + static_cast<int>(getpid() % 100);
    const std::string path = scratch_dir + "/cyclonedds.xml";
    std::ofstream(path) << "<CycloneDDS><Domain id=\"" << domain
                        << "\"><General><Interfaces><NetworkInterface name=\"lo\"/></Interfaces>"
                           "<AllowMulticast>false</AllowMulticast></General><Discovery><Peers>"
                           "<Peer address=\"127.0.0.1\"/></Peers><ParticipantIndex>auto"
                           "</ParticipantIndex><MaxAutoParticipantIndex>40"
                           "</MaxAutoParticipantIndex></Discovery></Domain></CycloneDDS>";
    setenv("CYCLONEDDS_URI", ("file://" + path).c_str(), 1);
}

/// `oxl ARGS...` as a child process, its standard error in a file, this process's environment
/// plus `env` ("NAME=value" entries); interrupted and reaped by `finish` or the destructor.
class BridgeProcess {
  public:
    BridgeProcess(const std::string& oxl, const std::vector<std::string>& args,
                  const std::string& err_path, std::vector<std::string> env = {})
        : err_file(err_path) {
        std::vector<char*> argv{const_cast<char*>(oxl.c_str())};
        for (const auto& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        // Built before the fork: the child of a threaded process must not allocate.
        std::vector<char*> envp;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            envp.push_back(*entry);
        }
        for (auto& entry : env) {
            envp.push_back(&entry[0]);
        }
        envp.push_back(nullptr);
        pid = fork();
        if (pid == 0) {
            if (std::freopen(err_path.c_str(), "w", stderr) != nullptr) {
                execve(oxl.c_str(), argv.data(), envp.data());
            }
            _exit(127);
        }
    }
    ~BridgeProcess() { finish(); }
    BridgeProcess(const BridgeProcess&) = delete;
    BridgeProcess& operator=(const BridgeProcess&) = delete;

    /// Sends `signal` and waits up to 10 s for the exit (then kills it); the exit status, or
    /// 128 + the signal.
    int finish(int signal = SIGINT) { return wait_exit(signal); }
    /// Waits up to 10 s for the exit (then kills it), first sending `signal` unless it is 0.
    int wait_exit(int signal = 0) {
        if (pid <= 0) {
            return status;
        }
        if (signal != 0) {
            kill(pid, signal);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        int raw = 0;
        while (waitpid(pid, &raw, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &raw, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pid = -1;
        status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        return status;
    }
    /// Standard error so far.
    std::string err() const {
        std::ifstream in(err_file);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    pid_t id() const { return pid; }

  private:
    std::string err_file;
    pid_t pid = -1;
    int status = -1;
};

/// One joint of a received JointState.
struct JointValue {
    double position = 0, velocity = 0, effort = 0;
};

/// A received JointState: joints by name and the header stamp in wall-clock nanoseconds.
struct State {
    std::map<std::string, JointValue> joints;
    int64_t stamp_ns = 0;
    /// Wall-clock time at which this peer took it.
    int64_t taken_ns = 0;
};

inline int64_t wall_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

/// A participant with a reader of `joint_states` and `diagnostics` and a writer of
/// `joint_command` under one namespace, with the QoS the bridge documents.
class Peer {
  public:
    explicit Peer(const std::string& ros_namespace) {
        participant = dds_create_participant(DDS_DOMAIN_DEFAULT, nullptr, nullptr);
        const std::string prefix = "rt/" + ros_namespace + "/";
        dds_qos_t* qos = dds_create_qos();
        dds_qset_reliability(qos, DDS_RELIABILITY_BEST_EFFORT, 0);
        dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 1000);
        state_reader =
            dds_create_reader(participant,
                              dds_create_topic(participant, &sensor_msgs_msg_dds__JointState__desc,
                                               (prefix + "joint_states").c_str(), nullptr, nullptr),
                              qos, nullptr);
        dds_reset_qos(qos);
        dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_MSECS(100));
        dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 10);
        diagnostics_reader = dds_create_reader(
            participant,
            dds_create_topic(participant, &diagnostic_msgs_msg_dds__DiagnosticArray__desc,
                             (prefix + "diagnostics").c_str(), nullptr, nullptr),
            qos, nullptr);
        command_writer = dds_create_writer(
            participant,
            dds_create_topic(participant, &sensor_msgs_msg_dds__JointState__desc,
                             (prefix + "joint_command").c_str(), nullptr, nullptr),
            qos, nullptr);
        dds_delete_qos(qos);
    }
    ~Peer() { dds_delete(participant); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool ok() const { return participant > 0 && state_reader > 0 && command_writer > 0; }

    /// The JointStates received since the last call, oldest first.
    std::vector<State> take_states() {
        std::vector<State> states;
        void* samples[64] = {};
        dds_sample_info_t infos[64];
        dds_return_t n;
        while ((n = dds_take(state_reader, samples, infos, 64, 64)) > 0) {
            const int64_t now = wall_ns();
            for (dds_return_t i = 0; i < n; ++i) {
                if (!infos[i].valid_data) {
                    continue;
                }
                const auto& m = *static_cast<sensor_msgs_msg_dds__JointState_*>(samples[i]);
                State state;
                state.taken_ns = now;
                state.stamp_ns = int64_t{m.header.stamp.sec} * 1000000000 + m.header.stamp.nanosec;
                for (uint32_t j = 0; j < m.name._length; ++j) {
                    auto at = [j](const dds_sequence_double& s) {
                        return j < s._length ? s._buffer[j] : -1e300;
                    };
                    state.joints[m.name._buffer[j]] = {at(m.position), at(m.velocity),
                                                       at(m.effort)};
                }
                states.push_back(std::move(state));
            }
            dds_return_loan(state_reader, samples, n);
        }
        return states;
    }

    /// The latest value of joint `name` seen within `timeout_s` that satisfies `pred`, or false.
    bool wait_joint(const std::string& name, const std::function<bool(const JointValue&)>& pred,
                    double timeout_s, JointValue* seen = nullptr,
                    const std::function<void()>& each_pass = {}) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
        while (std::chrono::steady_clock::now() < deadline) {
            if (each_pass) {
                each_pass();
            }
            for (const State& state : take_states()) {
                const auto it = state.joints.find(name);
                if (it != state.joints.end()) {
                    if (seen != nullptr) {
                        *seen = it->second;
                    }
                    if (pred(it->second)) {
                        return true;
                    }
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    /// The next JointState value of joint `name` received after this call (within `timeout_s`),
    /// or false.
    bool next_joint(const std::string& name, double timeout_s, JointValue& seen) {
        take_states();
        return wait_joint(
            name, [](const JointValue&) { return true; }, timeout_s, &seen);
    }

    /// Sends one command: `names` with `values` in the field `field` ("position", "velocity"
    /// or "effort"), the other fields empty.
    void command(const std::vector<std::string>& names, const std::vector<double>& values,
                 const std::string& field) {
        std::vector<char*> name_ptrs;
        for (const auto& name : names) {
            name_ptrs.push_back(const_cast<char*>(name.c_str()));
        }
        std::vector<double> copy = values;
        sensor_msgs_msg_dds__JointState_ m{};
        m.header.frame_id = const_cast<char*>("");
        const auto n = static_cast<uint32_t>(names.size());
        m.name = {n, n, name_ptrs.data(), false};
        const auto v = static_cast<uint32_t>(copy.size());
        const dds_sequence_double filled{v, v, copy.data(), false};
        m.position = field == "position" ? filled : dds_sequence_double{};
        m.velocity = field == "velocity" ? filled : dds_sequence_double{};
        m.effort = field == "effort" ? filled : dds_sequence_double{};
        dds_write(command_writer, &m);
    }

    /// Key-value pairs of the diagnostic status whose name ends with `suffix`, from the next
    /// DiagnosticArray received within `timeout_s`, plus "level" and "message"; empty on
    /// time-out.
    std::map<std::string, std::string> next_diagnostic(const std::string& suffix,
                                                       double timeout_s) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
        void* samples[8] = {};
        dds_sample_info_t infos[8];
        while (std::chrono::steady_clock::now() < deadline) {
            const dds_return_t n = dds_take(diagnostics_reader, samples, infos, 8, 8);
            std::map<std::string, std::string> found;
            for (dds_return_t i = 0; i < n; ++i) {
                const auto& array =
                    *static_cast<diagnostic_msgs_msg_dds__DiagnosticArray_*>(samples[i]);
                for (uint32_t s = 0; infos[i].valid_data && s < array.status._length; ++s) {
                    const auto& status = array.status._buffer[s];
                    const std::string name = status.name;
                    if (name.size() < suffix.size() ||
                        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
                        continue;
                    }
                    found.clear();
                    found["level"] = std::to_string(status.level);
                    found["message"] = status.message;
                    found["hardware_id"] = status.hardware_id;
                    for (uint32_t k = 0; k < status.values._length; ++k) {
                        found[status.values._buffer[k].key] = status.values._buffer[k].value;
                    }
                }
            }
            if (n > 0) {
                dds_return_loan(diagnostics_reader, samples, n);
            }
            if (!found.empty()) {
                return found;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return {};
    }

    /// Waits up to `timeout_s` until a remote writer of `joint_states` and a remote reader of
    /// `joint_command` are matched.
    bool wait_matched(double timeout_s) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
        while (std::chrono::steady_clock::now() < deadline) {
            dds_subscription_matched_status_t sub{};
            dds_publication_matched_status_t pub{};
            dds_get_subscription_matched_status(state_reader, &sub);
            dds_get_publication_matched_status(command_writer, &pub);
            if (sub.current_count > 0 && pub.current_count > 0) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    dds_entity_t participant = 0;
    dds_entity_t state_reader = 0;
    dds_entity_t diagnostics_reader = 0;
    dds_entity_t command_writer = 0;
};

}  // namespace bridge_test
