#pragma once
// What the MQTT tests start for themselves on 127.0.0.1: a mosquitto broker in a temporary
// folder, a subscriber that records every message, and processes with arguments of their own.
#include "LineFixtures.h"

#include <mosquitto.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

namespace zem::test {

// A mosquitto broker of its own on a free port, keeping its state on disk across a stop with
// SIGTERM (as a plant's broker does), so that a persistent subscriber's messages survive it.
class Broker {
public:
    // `listenerConfig`: lines for the listener (TLS, passwords); by default anyone is let in.
    explicit Broker(const std::string& listenerConfig = "allow_anonymous true\n") {
        char tmpl[] = "/tmp/zem-mqtt-XXXXXX";
        dir_ = mkdtemp(tmpl);
        port_ = FreePort();
        std::ofstream(dir_ + "/mosquitto.conf") << "listener " << port_ << " 127.0.0.1\n"
                                                << listenerConfig << "persistence true\n"
                                                << "persistence_location " << dir_ << "/\n"
                                                << "max_queued_messages 100000\n";
        Start();
    }
    ~Broker() {
        Stop();
        fs::remove_all(dir_);
    }
    static bool Present() { return fs::exists("/usr/sbin/mosquitto"); }
    int Port() const { return port_; }
    std::string Url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
    bool Start() {
        // Started as root, mosquitto drops to its own user, which must read its files and write
        // its state here.
        if (geteuid() == 0) Shell("chown -R mosquitto '" + dir_ + "' 2>/dev/null");
        pid_ = fork();
        if (pid_ == 0) {
            std::FILE* f = std::fopen((dir_ + "/broker.log").c_str(), "a");
            if (f) {
                dup2(fileno(f), 1);
                dup2(fileno(f), 2);
            }
            execl("/usr/sbin/mosquitto", "mosquitto", "-c", (dir_ + "/mosquitto.conf").c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 400 && !CanConnect(port_); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        return CanConnect(port_);
    }
    // An orderly stop: the broker writes its state to disk first.
    void Stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    std::string Log() const { return ReadFile(dir_ + "/broker.log"); }

private:
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// An MQTT client subscribed to zem/v1/# at QoS 1 that keeps every message it is given. With
// `persistent`, the broker keeps its session (and what it missed) while it is away.
class Subscriber {
public:
    struct Message {
        std::string topic, payload;
        bool retained = false;
    };

    Subscriber(int port, const std::string& id, bool persistent, std::string topic = "zem/v1/#")
        : topic_(std::move(topic)) {
        static std::once_flag once;
        std::call_once(once, [] { mosquitto_lib_init(); });
        mosq_ = mosquitto_new(id.c_str(), !persistent, this);
        mosquitto_connect_callback_set(mosq_, [](mosquitto* m, void* self, int rc) {
            if (rc == 0)
                mosquitto_subscribe(m, nullptr, static_cast<Subscriber*>(self)->topic_.c_str(), 1);
        });
        mosquitto_message_callback_set(
            mosq_, [](mosquitto*, void* obj, const mosquitto_message* msg) {
                auto* self = static_cast<Subscriber*>(obj);
                std::lock_guard lock(self->m_);
                self->messages_.push_back({msg->topic,
                                           std::string(static_cast<const char*>(msg->payload),
                                                       static_cast<size_t>(msg->payloadlen)),
                                           msg->retain});
                self->cv_.notify_all();
            });
        mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
        mosquitto_connect_async(mosq_, "127.0.0.1", port, 10);
        mosquitto_loop_start(mosq_);
    }
    ~Subscriber() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, false);
        mosquitto_destroy(mosq_);
    }
    std::vector<Message> Messages() {
        std::lock_guard lock(m_);
        return messages_;
    }
    // Waits up to `seconds` for `done` to hold of the messages so far.
    bool WaitFor(const std::function<bool(const std::vector<Message>&)>& done, int seconds) {
        std::unique_lock lock(m_);
        return cv_.wait_for(lock, std::chrono::seconds(seconds), [&] { return done(messages_); });
    }

private:
    std::string topic_;
    mosquitto* mosq_ = nullptr;
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<Message> messages_;
};

// A program as a process of its own, given its arguments; output to `log`.
class Process {
public:
    Process(std::vector<std::string> args, fs::path log) : args_(std::move(args)), log_(log) {
        Start();
    }
    ~Process() { Kill(SIGTERM); }
    void Start() {
        pid_ = fork();
        if (pid_ == 0) {
            std::FILE* f = std::fopen(log_.c_str(), "a");
            if (f) {
                dup2(fileno(f), 1);
                dup2(fileno(f), 2);
            }
            std::vector<char*> argv;
            for (auto& a : args_)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    void Kill(int sig) {
        if (pid_ <= 0) return;
        kill(pid_, sig);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    std::vector<std::string> args_;
    fs::path log_;
    pid_t pid_ = -1;
};

} // namespace zem::test
