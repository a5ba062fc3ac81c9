// The wire side of the NATS transport: one libnats connection, its
// subscriptions, and the threads that move messages between libnats and the
// delivery core.  No Python here: the dispatcher hands each batch to a plain
// function (python_calls.cpp takes the GIL there, once per batch).
//
// Threads:
//  * libnats' own delivery threads run `on_core_message` for core (qos 0)
//    subscriptions: the message is queued under the link's mutex.
//  * one fetcher per JetStream (qos 1) subscription pulls at most as many
//    messages as the queue has room for, and nothing while held, so a slow
//    consumer leaves the rest in the stream.  An ephemeral consumer lives on
//    one node even for a replicated stream; when fetches stay empty the
//    fetcher asks for the consumer, and if no one answers for it, it makes a
//    new one that starts after the last stream sequence fetched.
//  * one dispatcher takes up to `max_batch` queued messages at a time and
//    calls `deliver`.
//  * one acker acknowledges handled JetStream messages (tokens handed back
//    through `acknowledge`), a batch per wake-up, and frees them.
// Every libnats status is checked; failures come back as `Failure` values.
// What the standard library throws (an allocation or a thread that cannot be
// had) is caught where this code meets libnats or Python (contain.h).
#pragma once

#include <nats/nats.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace natsbus {

struct Failure {
    enum Kind { none, connection, value, timeout, lookup, runtime, memory };
    Kind kind = none;
    std::string message;
    explicit operator bool() const { return kind != none; }
};

Failure fail(Failure::Kind kind, std::string message);

// A message on its way to the core; token 0: nothing to acknowledge (qos 0).
struct Received {
    natsMsg* msg;
    uint64_t token;
};

struct LinkSettings {
    std::vector<std::string> servers;
    std::string user, password;
    bool has_user = false;
    bool secure = false;
    std::string ca_pem;          // trusted CAs; empty: the system's
    bool verify = true;          // false: no certificate check
    int64_t connect_timeout_ms = 10000;
    int64_t reconnect_wait_ms = 500;
    int64_t reply_timeout_ms = 10000;
    int64_t ack_wait_ms = 30000;
    int64_t max_ack_pending = 4096;
    int max_batch = 512;
    size_t max_in_flight = 1024;  // JetStream messages fetched and not yet acknowledged
    bool send_asap = true;        // core publishes written at once, not after libnats' coalescing wait
    int64_t close_wait_ms = 10000;  // how long close waits for a handler running on the dispatcher
    size_t max_queued = 65536;   // core (qos 0) messages waiting for the dispatcher; more are dropped
};

using DeliverFn = void (*)(void* context, std::vector<Received>& batch) noexcept;
using ThreadEndFn = void (*)(void* context) noexcept;  // on the dispatcher, after its last delivery

struct Counters {
    std::atomic<uint64_t> received{0}, dropped{0}, acked{0}, ack_errors{0}, fetch_errors{0};
    std::atomic<uint64_t> consumers_recreated{0};  // ephemeral consumers lost with their node and made again
    std::atomic<uint64_t> held{0}, batches{0};
};

// Written by libnats' connection-event thread, which can outlive the link by
// a moment: the closed callback, the last event, drops libnats' reference.
struct ConnectionEvents {
    std::atomic<uint64_t> disconnects{0}, reconnects{0};
};

class Link : public std::enable_shared_from_this<Link> {
public:
    explicit Link(LinkSettings settings);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // Connects (blocking, bounded by connect_timeout_ms) and starts the dispatcher and acker.
    Failure connect(DeliverFn deliver, ThreadEndFn dispatcher_ends, void* context);
    // Core subscription (queue group when `group` is non-empty); returns once the server has it.
    Failure subscribe_core(const std::string& subject, const std::string& group, uint64_t* id);
    // JetStream pull subscription on a durable (non-empty `durable`) or ephemeral consumer.
    Failure subscribe_stream(const std::string& subject, const std::string& durable, uint64_t* id);
    Failure unsubscribe(uint64_t id);
    Failure publish(const std::string& subject, const char* data, int size, int qos);
    Failure ensure_stream(const std::string& name, const std::vector<std::string>& subjects, int64_t replicas);
    void hold(bool on);
    // Tokens of handled messages; unknown tokens (or 0) are ignored.  Returns how many were known.
    size_t acknowledge(const std::vector<uint64_t>& tokens);
    // Frees a message the dispatcher handed out with token 0 (or one that can never be acknowledged).
    static void release(natsMsg* msg) { natsMsg_Destroy(msg); }
    bool connected() const;
    void close();
    bool on_dispatcher_thread() const { return std::this_thread::get_id() == dispatcher_id_; }

    Counters counters;
    std::shared_ptr<ConnectionEvents> events = std::make_shared<ConnectionEvents>();
    size_t queued() const;
    size_t unacknowledged() const;

private:
    struct Subscription;
    static void on_core_message(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) noexcept;
    struct CoreClosure;
    static void on_core_complete(void* closure) noexcept;
    void enqueue(natsMsg* msg, uint64_t sub_id);  // a core (qos 0) message
    void enqueue_fetched(natsMsgList& list, uint64_t sub_id);
    bool first_match_is(uint64_t sub_id, const char* subject) const;
    size_t wait_for_room(Subscription& sub);
    void fetch_loop(Subscription* sub);
    bool pause(Subscription& sub);  // false: the subscription or the link is stopping
    natsStatus add_consumer(const Subscription& sub, const std::string& durable, uint64_t after_seq,
                            jsOptions* jo, jsConsumerInfo** info, jsErrCode* jerr);
    natsStatus bind(const Subscription& sub, const char* consumer, jsOptions* jo, natsSubscription** out,
                    jsErrCode* jerr);
    bool consumer_lost(Subscription& sub);
    bool replace_consumer(Subscription& sub);
    void dispatch_loop();
    void ack_loop();
    Failure open(bool publisher, natsConnection** out);
    std::string where() const;
    Failure stream_of(const std::string& subject, std::string* stream);
    Failure from_status(natsStatus s, const std::string& what, Failure::Kind kind = Failure::runtime) const;
    void stop_subscription(Subscription& sub);

    LinkSettings settings_;
    natsConnection* conn_ = nullptr;      // subscriptions, fetches, acknowledgements, JetStream
    natsConnection* pub_conn_ = nullptr;  // core publishes, written at once
    jsCtx* js_ = nullptr;
    DeliverFn deliver_ = nullptr;
    ThreadEndFn dispatcher_ends_ = nullptr;
    void* deliver_context_ = nullptr;

    mutable std::mutex mu_;
    std::condition_variable work_;      // dispatcher: queue non-empty or stop
    std::condition_variable room_;      // fetchers: room in the queue, held released, or stop
    std::condition_variable acks_;      // acker
    std::deque<Received> queue_;
    std::vector<natsMsg*> to_ack_;
    std::map<uint64_t, natsMsg*> unacked_;
    uint64_t next_token_ = 1;
    bool held_ = false;
    bool stopping_ = false;
    std::map<uint64_t, std::unique_ptr<Subscription>> subs_;
    uint64_t next_sub_ = 1;
    int live_core_subs_ = 0;           // core subscriptions whose libnats callbacks may still run

    // Calls that use the connections (publish, subscribe, ...) count themselves
    // in; close waits for them before destroying what they use.
    class Operation;
    std::mutex ops_mu_;
    std::condition_variable ops_done_;
    int ops_ = 0;
    bool ops_closed_ = false;

    std::thread dispatcher_, acker_;
    std::thread::id dispatcher_id_;
    bool dispatcher_done_ = false;  // under mu_: the dispatch loop returned
    std::mutex close_mu_;
    bool closed_ = false;
};

}  // namespace natsbus
