#pragma once
#include "LineEvents.h"
#include "Store.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace zem::line {

struct MqttOptions {
    std::string url;          // mqtt://HOST[:PORT] or mqtts://HOST[:PORT]
    std::string caFile;       // mqtts: the broker's CA (PEM); without it, the system's CAs
    std::string user;         // none: anonymous
    std::string passwordFile; // its first line is the password
    std::string site = "plant", line = "line";
    // The MQTT client id: fixed per service, so that its outbox entries and its broker session
    // are found again after a restart.
    std::string clientId;
    int keepAliveS = 30;
    size_t queueLimit = 10000; // results waiting in memory; beyond, the database outbox has them
    size_t maxUnacked = 500;   // results handed to the broker and not acknowledged yet
    std::chrono::milliseconds staleAfter{10000};  // a station quiet this long is offline
    std::chrono::milliseconds portInterval{1000}; // a port's state at most this often
    std::chrono::milliseconds resendAfter{5000}; // outbox entries this old, not under way, go again
    std::chrono::milliseconds sweepEvery{5000};
    // Told of the link to the broker (connected, lost, refused), once per change.
    std::function<void(const std::string&)> log;
};

// Splits an MQTT address; false with `error` naming what is wrong.
bool ParseMqttUrl(const std::string& url, std::string& host, int& port, bool& tls,
                  std::string& error);

// Publishes the line to an MQTT broker through libmosquitto, on threads of its own: whatever
// the broker does (down, slow, restarted), the calls below only take a lock and queue.
//   zem/v1/SITE/LINE/STATION/status        retained, the station online or not
//   zem/v1/SITE/LINE/STATION/port/N/state  retained, at most one per port per portInterval
//   zem/v1/SITE/LINE/STATION/result        QoS 1, each result once the database has it
//   zem/v1/SITE/LINE/service/CLIENTID/status  retained, this service; its will says offline
// Results are published at least once: each is in the database's outbox (owned by this
// service's client id) until the broker acknowledged it, and entries left there, by a broker
// gone or by a service that died, are sent again. Consumers drop duplicates by result_id.
class MqttPublisher : public LineEvents {
public:
    // `store` may be null: then nothing is resent from a database.
    MqttPublisher(Store* store, MqttOptions options);
    ~MqttPublisher() override;
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // Checks the options, reads the password, and starts connecting in the background: a broker
    // that is not there yet is not an error, bad options are.
    bool Start(std::string& error);
    // Tells the broker this service is going offline and disconnects.
    void Stop();

    void ResultStored(const std::string& station, const std::string& resultJson) override;
    void PortState(const PortStateEvent& event) override;
    void StationOnline(const std::string& station, bool online,
                       const std::string& lastSeen) override;

    bool Connected() const;
    // Results not acknowledged by the broker yet (in memory: queued or under way).
    size_t Unacknowledged() const;
    std::string TopicPrefix() const; // zem/v1/SITE/LINE/

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace zem::line
