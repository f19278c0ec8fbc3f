#include "MqttPublisher.h"

#include "Wire.h"

#include <mosquitto.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace zem::line {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

std::string Dump(const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

// A topic level from a name: the characters MQTT gives a meaning to in topics are replaced, so a
// station's name can never reach into another's topics or subscribe-side wildcards.
std::string Level(const std::string& name) {
    std::string s = name.empty() ? "_" : name;
    for (char& c : s)
        if (c == '/' || c == '+' || c == '#' || c == '\0') c = '_';
    return s;
}

bool GoodLevel(const std::string& s) {
    return !s.empty() && s.find_first_of("/+#") == std::string::npos;
}

} // namespace

bool ParseMqttUrl(const std::string& url, std::string& host, int& port, bool& tls,
                  std::string& error) {
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        tls = false;
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        tls = true;
        rest = url.substr(8);
    } else {
        error = "the MQTT broker's address " + url + " is not mqtt://HOST[:PORT] or mqtts://...";
        return false;
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    port = tls ? 8883 : 1883;
    size_t colon = rest.rfind(':');
    if (colon != std::string::npos && rest.find(']', colon) == std::string::npos) {
        std::string p = rest.substr(colon + 1);
        rest = rest.substr(0, colon);
        char* end = nullptr;
        long v = std::strtol(p.c_str(), &end, 10);
        if (p.empty() || *end || v < 1 || v > 65535) {
            error = "the MQTT broker's port in " + url + " is not a number from 1 to 65535";
            return false;
        }
        port = static_cast<int>(v);
    }
    if (rest.size() > 2 && rest.front() == '[' && rest.back() == ']')
        rest = rest.substr(1, rest.size() - 2);
    if (rest.empty() || rest.find_first_of("/@ ") != std::string::npos) {
        error = "no broker host in " + url + " (mqtt://HOST[:PORT])";
        return false;
    }
    host = rest;
    return true;
}

struct MqttPublisher::Impl {
    Store* store;
    MqttOptions o;
    std::string prefix;
    std::string host;
    int port = 0;
    bool tls = false;
    mosquitto* mosq = nullptr;
    std::atomic<bool> looping{false}; // libmosquitto's thread runs
    std::string lastRefusal;
    std::string lastTold; // under m

    mutable std::mutex m;
    std::condition_variable wake;
    bool stopping = false;
    std::thread worker;
    std::atomic<bool> connected{false};

    // Filled by libmosquitto's thread, emptied by the worker.
    std::vector<int> acked;
    int connects = 0; // connections made, not yet handled by the worker

    struct Item {
        std::string id, station, payload;
    };
    std::deque<Item> queue;              // results to publish
    std::set<std::string> tracked;       // result ids queued, under way or acknowledged-not-yet-out
    std::map<int, std::string> underWay; // message id -> result id
    std::vector<std::string> done;       // acknowledged, still in the outbox

    struct StationState {
        bool online = false;
        bool external = false; // told by StationOnline: its staleness is the caller's to judge
        std::string lastSeen;
        Clock::time_point lastResult{};
        bool dirty = false;
    };
    std::map<std::string, StationState> stations;
    struct PortInfo {
        std::string payload;
        Clock::time_point sentAt{};
        bool pending = false;
    };
    std::map<std::pair<std::string, int>, PortInfo> ports;

    Impl(Store* s, MqttOptions opt) : store(s), o(std::move(opt)) {}

    void Log(const std::string& text) {
        if (o.log) o.log(text);
    }

    std::string ServiceTopic() const { return prefix + "service/" + Level(o.clientId) + "/status"; }
    std::string StationTopic(const std::string& station) const {
        return prefix + Level(station) + "/status";
    }

    // Called with `m` held; false when libmosquitto would not take it.
    bool Publish(const std::string& topic, const std::string& payload, int qos, bool retain,
                 int* mid = nullptr) {
        int rc = mosquitto_publish(mosq, mid, topic.c_str(), static_cast<int>(payload.size()),
                                   payload.data(), qos, retain);
        return rc == MOSQ_ERR_SUCCESS;
    }

    std::string StationPayload(const std::string& station, const StationState& s) const {
        return Dump(json{{"station", station},
                         {"online", s.online},
                         {"last_seen", s.lastSeen.empty() ? json() : json(s.lastSeen)}});
    }

    // The first connection. libmosquitto's thread keeps a connection it once made, reconnecting
    // as needed, but does not retry a first one that failed: until one is made, the worker
    // tries again. False only when libmosquitto's thread can not be started.
    bool TryConnect(std::string& error) {
        int rc = mosquitto_connect_async(mosq, host.c_str(), port, o.keepAliveS);
        if (rc != MOSQ_ERR_SUCCESS) {
            std::string why =
                rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : mosquitto_strerror(rc);
            if (why != lastRefusal)
                Log("MQTT: the broker " + o.url + " is not there (" + why +
                    "); trying again in the background");
            lastRefusal = why;
            return true;
        }
        rc = mosquitto_loop_start(mosq);
        if (rc != MOSQ_ERR_SUCCESS) {
            error = std::string("MQTT: can not start its thread: ") + mosquitto_strerror(rc);
            return false;
        }
        looping = true;
        return true;
    }

    void Run() {
        std::unique_lock lock(m);
        Clock::time_point nextSweep = Clock::now();
        Clock::time_point nextDoneTry{};
        Clock::time_point nextConnect = Clock::now() + std::chrono::seconds(1);
        auto connectDelay = std::chrono::seconds(1);
        while (!stopping) {
            wake.wait_for(lock, std::chrono::milliseconds(100));
            if (stopping) break;
            Clock::time_point now = Clock::now();
            if (!looping && now >= nextConnect) {
                std::string error;
                lock.unlock();
                if (!TryConnect(error)) Log(error);
                lock.lock();
                connectDelay = std::min(connectDelay * 2, std::chrono::seconds(15));
                nextConnect = now + connectDelay;
            }
            for (int mid : acked) {
                auto it = underWay.find(mid);
                if (it == underWay.end()) continue; // a status or a port state
                done.push_back(it->second);
                underWay.erase(it);
            }
            acked.clear();
            bool justConnected = connects > 0;
            connects = 0;
            if (justConnected && connected.load(std::memory_order_acquire)) {
                Publish(
                    ServiceTopic(),
                    Dump(json{{"online", true}, {"since", NowUtc()}, {"client_id", o.clientId}}), 1,
                    true);
                // A broker without persistence forgot the retained messages: tell them again.
                for (auto& [name, s] : stations)
                    if (!s.lastSeen.empty() || s.online) {
                        Publish(StationTopic(name), StationPayload(name, s), 1, true);
                        s.dirty = false;
                    }
                for (auto& [key, p] : ports) {
                    Publish(prefix + Level(key.first) + "/port/" + std::to_string(key.second) +
                                "/state",
                            p.payload, 0, true);
                    p.sentAt = now;
                    p.pending = false;
                }
                nextSweep = now;
            }
            if (!done.empty() && now >= nextDoneTry) {
                std::vector<std::string> ids;
                ids.swap(done);
                std::string error;
                bool ok = true;
                if (store) {
                    lock.unlock();
                    ok = store->OutboxDone(ids, error);
                    lock.lock();
                }
                if (ok) {
                    for (const auto& id : ids)
                        tracked.erase(id);
                } else {
                    Log("can not take acknowledged results out of the MQTT outbox: " + error);
                    done.insert(done.end(), ids.begin(), ids.end());
                    nextDoneTry = now + std::chrono::seconds(1);
                }
            }
            // Stations that sent results and then went quiet.
            for (auto& [name, s] : stations)
                if (s.online && !s.external && now - s.lastResult > o.staleAfter) {
                    s.online = false;
                    s.dirty = true;
                }
            bool up = connected.load(std::memory_order_acquire);
            if (!up) continue;
            for (auto& [name, s] : stations)
                if (s.dirty) {
                    if (Publish(StationTopic(name), StationPayload(name, s), 1, true))
                        s.dirty = false;
                }
            for (auto& [key, p] : ports)
                if (p.pending && now - p.sentAt >= o.portInterval) {
                    if (Publish(prefix + Level(key.first) + "/port/" + std::to_string(key.second) +
                                    "/state",
                                p.payload, 0, true)) {
                        p.sentAt = now;
                        p.pending = false;
                    }
                }
            while (!queue.empty() && underWay.size() < o.maxUnacked) {
                Item& item = queue.front();
                int mid = 0;
                if (!Publish(prefix + Level(item.station) + "/result", item.payload, 1, false,
                             &mid))
                    break; // not connected after all: the item waits
                underWay[mid] = item.id;
                queue.pop_front();
            }
            if (store && now >= nextSweep && queue.size() < o.queueLimit / 2) {
                nextSweep = now + o.sweepEvery;
                std::string before = UtcIso(std::chrono::system_clock::now() - o.resendAfter);
                std::vector<Result> left;
                std::string error;
                lock.unlock();
                bool ok = store->OutboxPending(o.clientId, before, 500, left, error);
                lock.lock();
                if (!ok) {
                    Log("can not read the MQTT outbox: " + error);
                    continue;
                }
                size_t added = 0;
                for (const Result& r : left) {
                    if (!tracked.insert(r.resultId).second) continue; // under way already
                    queue.push_back({r.resultId, r.station, Dump(ResultToJson(r))});
                    ++added;
                }
                // More where these came from: read on at once, unless all were under way.
                if (left.size() == 500 && added > 0) nextSweep = now;
                if (added > 0) wake.notify_one();
            }
        }
    }

    // Told once until the link changes: a broker refusing every second fills no log.
    void LogOnce(const std::string& text) {
        {
            std::lock_guard lock(m);
            if (text == lastTold) return;
            lastTold = text;
        }
        Log(text);
    }

    static void OnConnect(mosquitto*, void* obj, int rc) {
        auto* self = static_cast<Impl*>(obj);
        if (rc != 0) {
            self->LogOnce(std::string("MQTT: the broker refused the connection: ") +
                          mosquitto_connack_string(rc));
            return;
        }
        {
            std::lock_guard lock(self->m);
            self->lastTold.clear();
            self->connected.store(true, std::memory_order_release);
            ++self->connects;
        }
        self->wake.notify_one();
        self->Log("MQTT: connected to " + self->o.url + " as " + self->o.clientId);
    }
    static void OnDisconnect(mosquitto*, void* obj, int rc) {
        auto* self = static_cast<Impl*>(obj);
        bool was = false;
        {
            std::lock_guard lock(self->m);
            // What was under way stays with libmosquitto, which sends it again when the broker
            // is back; the outbox covers the rest.
            was = self->connected.exchange(false, std::memory_order_acq_rel);
        }
        self->wake.notify_one();
        if (was && rc != 0)
            self->Log("MQTT: lost the broker " + self->o.url + " (" + mosquitto_strerror(rc) +
                      "); results wait in the outbox and are sent when it is back");
    }
    // libmosquitto's own words for what fails below MQTT (a certificate not trusted, a name
    // that does not resolve).
    static void OnLog(mosquitto*, void* obj, int level, const char* text) {
        if (level == MOSQ_LOG_ERR && text)
            static_cast<Impl*>(obj)->LogOnce("MQTT: " + std::string(text));
    }
    static void OnPublish(mosquitto*, void* obj, int mid) {
        auto* self = static_cast<Impl*>(obj);
        {
            std::lock_guard lock(self->m);
            self->acked.push_back(mid);
        }
        self->wake.notify_one();
    }
};

MqttPublisher::MqttPublisher(Store* store, MqttOptions options)
    : impl_(std::make_unique<Impl>(store, std::move(options))) {
    impl_->prefix = "zem/v1/" + impl_->o.site + "/" + impl_->o.line + "/";
}

MqttPublisher::~MqttPublisher() {
    Stop();
}

std::string MqttPublisher::TopicPrefix() const {
    return impl_->prefix;
}

bool MqttPublisher::Start(std::string& error) {
    Impl& d = *impl_;
    if (!ParseMqttUrl(d.o.url, d.host, d.port, d.tls, error)) return false;
    if (!GoodLevel(d.o.site) || !GoodLevel(d.o.line)) {
        error = "the MQTT site and line name topic levels: not empty, without / + #";
        return false;
    }
    if (d.o.clientId.empty() || d.o.clientId.size() > 200) {
        error = "the MQTT client id must be 1 to 200 characters";
        return false;
    }
    if (!d.tls && !d.o.caFile.empty()) {
        error = "--mqtt-ca is for mqtts:// brokers";
        return false;
    }
    std::string password;
    if (!d.o.passwordFile.empty()) {
        if (d.o.user.empty()) {
            error = "--mqtt-password-file needs --mqtt-user";
            return false;
        }
        std::ifstream in(d.o.passwordFile);
        if (!in || !std::getline(in, password)) {
            error = "can not read the MQTT password from " + d.o.passwordFile;
            return false;
        }
        if (!password.empty() && password.back() == '\r') password.pop_back();
    }
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
    // A persistent session: the broker keeps what it has not delivered for this client id.
    d.mosq = mosquitto_new(d.o.clientId.c_str(), false, &d);
    if (!d.mosq) {
        error = "can not make an MQTT client (out of memory)";
        return false;
    }
    mosquitto_int_option(d.mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    std::string will =
        Dump(json{{"online", false}, {"client_id", d.o.clientId}, {"cause", "connection lost"}});
    std::string willTopic = d.ServiceTopic();
    int rc = mosquitto_will_set(d.mosq, willTopic.c_str(), static_cast<int>(will.size()),
                                will.data(), 1, true);
    if (rc == MOSQ_ERR_SUCCESS && !d.o.user.empty())
        rc = mosquitto_username_pw_set(d.mosq, d.o.user.c_str(),
                                       d.o.passwordFile.empty() ? nullptr : password.c_str());
    if (rc == MOSQ_ERR_SUCCESS && d.tls) {
        if (d.o.caFile.empty())
            rc = mosquitto_int_option(d.mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        else
            rc = mosquitto_tls_set(d.mosq, d.o.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            error = "can not use the MQTT CA file " + d.o.caFile + ": " + mosquitto_strerror(rc);
            return false;
        }
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        error = std::string("MQTT: ") + mosquitto_strerror(rc);
        return false;
    }
    mosquitto_connect_callback_set(d.mosq, &Impl::OnConnect);
    mosquitto_disconnect_callback_set(d.mosq, &Impl::OnDisconnect);
    mosquitto_publish_callback_set(d.mosq, &Impl::OnPublish);
    mosquitto_log_callback_set(d.mosq, &Impl::OnLog);
    mosquitto_reconnect_delay_set(d.mosq, 1, 15, true);
    mosquitto_max_inflight_messages_set(d.mosq, 100);
    if (!d.TryConnect(error)) return false;
    d.worker = std::thread([&d] { d.Run(); });
    return true;
}

void MqttPublisher::Stop() {
    Impl& d = *impl_;
    {
        std::lock_guard lock(d.m);
        if (d.stopping && !d.mosq) return;
        d.stopping = true;
    }
    d.wake.notify_one();
    if (d.worker.joinable()) d.worker.join();
    if (d.mosq) {
        if (d.looping) {
            if (d.connected.load(std::memory_order_acquire)) {
                std::string off = Dump(json{{"online", false},
                                            {"client_id", d.o.clientId},
                                            {"cause", "stopped"},
                                            {"at", NowUtc()}});
                // Acknowledged before the goodbye, or a disconnect could overtake it.
                std::unique_lock lock(d.m);
                int mid = -1;
                if (d.Publish(d.ServiceTopic(), off, 1, true, &mid))
                    d.wake.wait_for(lock, std::chrono::seconds(2), [&] {
                        return std::find(d.acked.begin(), d.acked.end(), mid) != d.acked.end() ||
                               !d.connected.load(std::memory_order_acquire);
                    });
            }
            mosquitto_disconnect(d.mosq);
            mosquitto_loop_stop(d.mosq, false);
        }
        // What the broker acknowledged since the worker last looked leaves the outbox too, so a
        // restart does not send it again.
        std::vector<std::string> ids;
        {
            std::lock_guard lock(d.m);
            ids.swap(d.done);
            for (int mid : d.acked) {
                auto it = d.underWay.find(mid);
                if (it != d.underWay.end()) ids.push_back(it->second);
            }
            d.acked.clear();
        }
        std::string error;
        if (d.store && !ids.empty() && !d.store->OutboxDone(ids, error))
            d.Log("can not take acknowledged results out of the MQTT outbox: " + error);
        mosquitto_destroy(d.mosq);
        d.mosq = nullptr;
    }
}

void MqttPublisher::ResultStored(const std::string& station, const std::string& resultJson) {
    Impl& d = *impl_;
    json j = json::parse(resultJson, nullptr, false);
    std::string id = j.is_object() && j.contains("result_id") && j["result_id"].is_string()
                         ? j["result_id"].get<std::string>()
                         : std::string();
    {
        std::lock_guard lock(d.m);
        auto& s = d.stations[station];
        s.lastResult = Clock::now();
        s.lastSeen = NowUtc();
        if (!s.online) {
            s.online = true;
            s.external = false;
            s.dirty = true;
        }
        if (id.empty() || d.tracked.count(id)) return;
        // A full queue drops from memory only: the outbox keeps it, the sweep sends it.
        if (d.queue.size() >= d.o.queueLimit) return;
        d.tracked.insert(id);
        d.queue.push_back({id, station, resultJson});
    }
    d.wake.notify_one();
}

void MqttPublisher::PortState(const PortStateEvent& e) {
    Impl& d = *impl_;
    std::string payload = Dump(json{{"station", e.station},
                                    {"port", e.port},
                                    {"state", e.state},
                                    {"percent", e.percent},
                                    {"cause", e.cause.empty() ? json() : json(e.cause)},
                                    {"at", e.at}});
    {
        std::lock_guard lock(d.m);
        auto& p = d.ports[{e.station, e.port}];
        p.payload = std::move(payload);
        p.pending = true; // the latest wins: one waiting for its turn is replaced
    }
    d.wake.notify_one();
}

void MqttPublisher::StationOnline(const std::string& station, bool online,
                                  const std::string& lastSeen) {
    Impl& d = *impl_;
    {
        std::lock_guard lock(d.m);
        auto& s = d.stations[station];
        s.external = true;
        if (s.online == online && s.lastSeen == lastSeen) return;
        s.online = online;
        s.lastSeen = lastSeen;
        s.dirty = true;
    }
    d.wake.notify_one();
}

bool MqttPublisher::Connected() const {
    return impl_->connected.load(std::memory_order_acquire);
}

size_t MqttPublisher::Unacknowledged() const {
    std::lock_guard lock(impl_->m);
    return impl_->queue.size() + impl_->underWay.size();
}

} // namespace zem::line
