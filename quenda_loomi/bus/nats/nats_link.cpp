// The libnats side of the NATS transport (see nats_link.h).
#include "quenda_loomi/bus/nats/nats_link.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <system_error>

#include "quenda_loomi/bus/nats/contain.h"

namespace natsbus {

namespace {

constexpr int64_t kFetchWaitMs = 200;      // bounds how long unsubscribe and close wait for a fetcher
// An ephemeral consumer is asked for after this long without a message, and
// its answer (or a replacement) is awaited this long: the second bound on
// unsubscribe and close while a node is down.
constexpr int64_t kProbeAfterMs = 2000;
constexpr int64_t kProbeWaitMs = 2000;
constexpr int64_t kNanosPerMs = 1000000;

struct OwnedMsgList {
    natsMsgList list{nullptr, 0};
    ~OwnedMsgList() { natsMsgList_Destroy(&list); }
};

struct StreamNames {
    jsStreamNamesList* list = nullptr;
    ~StreamNames() {
        if (list) jsStreamNamesList_Destroy(list);
    }
};

struct StreamInfo {
    jsStreamInfo* info = nullptr;
    ~StreamInfo() {
        if (info) jsStreamInfo_Destroy(info);
    }
};

struct ConsumerInfo {
    jsConsumerInfo* info = nullptr;
    ~ConsumerInfo() {
        if (info) jsConsumerInfo_Destroy(info);
    }
};

struct MetaData {
    jsMsgMetaData* meta = nullptr;
    ~MetaData() {
        if (meta) jsMsgMetaData_Destroy(meta);
    }
};

struct Options {
    natsOptions* opts = nullptr;
    ~Options() {
        if (opts) natsOptions_Destroy(opts);
    }
};

void on_disconnected(natsConnection*, void* closure) {
    (*static_cast<std::shared_ptr<ConnectionEvents>*>(closure))->disconnects++;
}

void on_reconnected(natsConnection*, void* closure) {
    (*static_cast<std::shared_ptr<ConnectionEvents>*>(closure))->reconnects++;
}

void on_closed(natsConnection*, void* closure) {
    delete static_cast<std::shared_ptr<ConnectionEvents>*>(closure);
}

std::string text_of(natsStatus s) {
    std::string text = natsStatus_GetText(s);
    const char* last = nats_GetLastError(nullptr);
    if (last != nullptr && *last != '\0' && text.find(last) == std::string::npos) {
        text += ": ";
        text += last;
    }
    return text;
}

}  // namespace

Failure fail(Failure::Kind kind, std::string message) {
    Failure f;
    f.kind = kind;
    f.message = std::move(message);
    return f;
}

Failure failure_of_current_exception(const char* what) noexcept {
    Failure f;
    f.kind = Failure::runtime;
    try {
        throw;
    } catch (const std::bad_alloc&) {
        f.kind = Failure::memory;
    } catch (const std::system_error& error) {  // a thread that could not be started
        try {
            f.message = std::string(what) + ": " + error.what();
        } catch (...) {
            f.kind = Failure::memory;
        }
    } catch (...) {
    }
    // Both fit std::string's inline buffer: no allocation.
    if (f.message.empty()) f.message = f.kind == Failure::memory ? "out of memory" : "internal error";
    return f;
}

struct Link::Subscription {
    uint64_t id = 0;
    std::vector<std::string> tokens;  // the filter, `*` for any one token
    natsSubscription* sub = nullptr;
    bool pull = false;
    bool ephemeral = false;        // a consumer of our own making, deleted on unsubscribe
    std::string subject, stream, consumer;
    uint64_t last_seq = 0;         // highest stream sequence fetched (ephemeral only; 0: none yet)
    std::vector<natsSubscription*> retired;  // bound to consumers lost with their node
    std::thread fetcher;
    std::atomic<bool> stop{false};
};

// Libnats calls the message and completion callbacks with this; freed on
// completion.  It holds the link: close waits a bounded time for the
// completions, and one that comes later must not find the link freed.
struct Link::CoreClosure {
    std::shared_ptr<Link> link;
    uint64_t sub_id;
};

namespace {

std::vector<std::string> split_tokens(const std::string& subject) {
    std::vector<std::string> tokens;
    size_t start = 0;
    for (;;) {
        size_t dot = subject.find('.', start);
        tokens.push_back(subject.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos) return tokens;
        start = dot + 1;
    }
}

bool filter_matches(const std::vector<std::string>& filter, const char* subject) {
    size_t i = 0;
    const char* p = subject;
    for (;;) {
        const char* end = std::strchr(p, '.');
        size_t length = end ? static_cast<size_t>(end - p) : std::strlen(p);
        if (i >= filter.size()) return false;
        if (filter[i] != "*" && filter[i].compare(0, std::string::npos, p, length) != 0) return false;
        i++;
        if (end == nullptr) return i == filter.size();
        p = end + 1;
    }
}

// Whether the stream subject `have` captures every subject `want` stands for.
bool covers(const std::string& have, const std::string& want) {
    std::vector<std::string> h = split_tokens(have), w = split_tokens(want);
    for (size_t i = 0; i < h.size(); i++) {
        if (h[i] == ">") return i < w.size();
        if (i >= w.size() || w[i] == ">") return false;
        if (h[i] != "*" && h[i] != w[i]) return false;
    }
    return h.size() == w.size();
}

}  // namespace

class Link::Operation {
public:
    explicit Operation(Link& link) : link_(link) {
        std::lock_guard lock(link_.ops_mu_);
        admitted_ = !link_.ops_closed_ && link_.conn_ != nullptr;
        if (admitted_) link_.ops_++;
    }
    ~Operation() {
        if (!admitted_) return;
        std::lock_guard lock(link_.ops_mu_);
        if (--link_.ops_ == 0) link_.ops_done_.notify_all();
    }
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;
    bool admitted() const { return admitted_; }
    static Failure closed() { return fail(Failure::connection, "the link is closed"); }

private:
    Link& link_;
    bool admitted_ = false;
};

Link::Link(LinkSettings settings) : settings_(std::move(settings)) {}

Link::~Link() { close(); }

Failure Link::from_status(natsStatus s, const std::string& what, Failure::Kind kind) const {
    if (s == NATS_NO_MEMORY) return fail(Failure::memory, what + ": out of memory");
    if (s == NATS_TIMEOUT) return fail(Failure::timeout, what + ": no answer in time");
    if (s == NATS_CONNECTION_CLOSED || s == NATS_CONNECTION_DISCONNECTED || s == NATS_NO_SERVER ||
        s == NATS_STALE_CONNECTION)
        return fail(Failure::connection, what + ": " + text_of(s));
    // While reconnecting libnats keeps writes in a buffer of its own (8 MiB); past it, nothing is queued.
    if (s == NATS_INSUFFICIENT_BUFFER)
        return fail(Failure::connection, what + ": the link is down and its reconnect buffer is full");
    return fail(kind, what + ": " + text_of(s));
}

std::string Link::where() const {
    std::string text;
    for (const auto& server : settings_.servers) text += (text.empty() ? "" : ", ") + server;
    return text;
}

// The main connection buffers its writes (libnats' flusher coalesces them for
// a millisecond, which is what lets acknowledgements stream); the publishing
// connection writes each core publish at once, so a lone event is not held
// back by that millisecond.
Failure Link::open(bool publisher, natsConnection** out) {
    Options o;
    natsStatus s = natsOptions_Create(&o.opts);
    std::vector<const char*> servers;
    for (const auto& server : settings_.servers) servers.push_back(server.c_str());
    // libnats applies the timeout per server: the whole list must fit in connect_timeout.
    int64_t per_server = std::max<int64_t>(
        settings_.connect_timeout_ms / std::max<int64_t>(1, static_cast<int64_t>(servers.size())), 50);
    if (s == NATS_OK) s = natsOptions_SetServers(o.opts, servers.data(), static_cast<int>(servers.size()));
    if (s == NATS_OK) s = natsOptions_SetNoRandomize(o.opts, true);
    if (s == NATS_OK) s = natsOptions_SetTimeout(o.opts, per_server);
    if (s == NATS_OK) s = natsOptions_SetMaxReconnect(o.opts, -1);
    if (s == NATS_OK) s = natsOptions_SetReconnectWait(o.opts, settings_.reconnect_wait_ms);
    if (s == NATS_OK) s = natsOptions_SetPingInterval(o.opts, 2000);
    if (s == NATS_OK && publisher && settings_.send_asap) s = natsOptions_SetSendAsap(o.opts, true);
    if (s == NATS_OK && settings_.has_user)
        s = natsOptions_SetUserInfo(o.opts, settings_.user.c_str(), settings_.password.c_str());
    if (s == NATS_OK && settings_.secure) {
        s = natsOptions_SetSecure(o.opts, true);
        if (s == NATS_OK && !settings_.ca_pem.empty())
            s = natsOptions_SetCATrustedCertificates(o.opts, settings_.ca_pem.c_str());
        if (s == NATS_OK && !settings_.verify) s = natsOptions_SkipServerVerification(o.opts, true);
    }
    std::shared_ptr<ConnectionEvents>* closure = nullptr;
    if (!publisher) {
        closure = new std::shared_ptr<ConnectionEvents>(events);
        if (s == NATS_OK) s = natsOptions_SetDisconnectedCB(o.opts, on_disconnected, closure);
        if (s == NATS_OK) s = natsOptions_SetReconnectedCB(o.opts, on_reconnected, closure);
        if (s == NATS_OK) s = natsOptions_SetClosedCB(o.opts, on_closed, closure);
    }
    if (s != NATS_OK) {
        delete closure;
        return from_status(s, "cannot configure the connection to " + where(), Failure::value);
    }
    s = natsConnection_Connect(out, o.opts);
    if (s != NATS_OK) {
        delete closure;  // no connection, so no closed callback
        *out = nullptr;
        // libnats could not allocate or start its own threads: not the servers' fault.
        Failure::Kind kind = s == NATS_NO_MEMORY   ? Failure::memory
                             : s == NATS_SYS_ERROR ? Failure::runtime
                                                   : Failure::connection;
        return fail(kind, "cannot connect to " + where() + ": " + text_of(s));
    }
    return {};
}

Failure Link::connect(DeliverFn deliver, ThreadEndFn dispatcher_ends, void* context) {
    Failure f = open(false, &conn_);
    if (!f) f = open(true, &pub_conn_);
    jsOptions jo;
    natsStatus s = jsOptions_Init(&jo);
    jo.Wait = settings_.reply_timeout_ms;
    if (!f && s == NATS_OK) s = natsConnection_JetStream(&js_, conn_, &jo);
    if (!f && s != NATS_OK) f = from_status(s, "cannot set up JetStream on " + where());
    if (f) {
        close();
        return f;
    }
    deliver_ = deliver;
    dispatcher_ends_ = dispatcher_ends;
    deliver_context_ = context;
    auto self = shared_from_this();
    try {
        dispatcher_ = std::thread([self]() noexcept {
            self->dispatch_loop();
            self->dispatcher_ends_(self->deliver_context_);
            std::lock_guard lock(self->mu_);
            self->dispatcher_done_ = true;
            self->room_.notify_all();
        });
        dispatcher_id_ = dispatcher_.get_id();
        acker_ = std::thread([self]() noexcept { self->ack_loop(); });
    } catch (...) {
        f = failure_of_current_exception("cannot start the link's threads");
        close();
        return f;
    }
    return {};
}

bool Link::connected() const {
    std::lock_guard lock(mu_);
    return conn_ != nullptr && !stopping_ && natsConnection_Status(conn_) == NATS_CONN_STATUS_CONNECTED;
}

// -- receiving -----------------------------------------------------------------------------------

void Link::on_core_message(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) noexcept {
    auto* c = static_cast<CoreClosure*>(closure);
    c->link->enqueue(msg, c->sub_id);
}

void Link::on_core_complete(void* closure) noexcept {
    auto* c = static_cast<CoreClosure*>(closure);
    std::shared_ptr<Link> link = std::move(c->link);
    delete c;
    std::lock_guard lock(link->mu_);
    link->live_core_subs_--;
    link->room_.notify_all();
}

// The server sends one copy per matching subscription of the connection (and
// each JetStream consumer reads the stream on its own), but the core refines
// every copy against all subscriptions: only the copy that came through the
// oldest matching subscription goes on.  Members of a group share the same
// filters, so a group still handles each event once.
bool Link::first_match_is(uint64_t sub_id, const char* subject) const {
    for (const auto& [id, sub] : subs_)
        if (filter_matches(sub->tokens, subject)) return id == sub_id;
    return false;  // unsubscribed meanwhile
}

void Link::enqueue(natsMsg* msg, uint64_t sub_id) {
    counters.received++;
    std::unique_lock lock(mu_);
    bool duplicate = subs_.size() > 1 && !first_match_is(sub_id, natsMsg_GetSubject(msg));
    if (stopping_ || duplicate || queue_.size() >= settings_.max_queued) {
        // qos 0 is at most once: past the bound the newest is dropped and counted.
        lock.unlock();
        if (!duplicate) counters.dropped++;
        natsMsg_Destroy(msg);
        return;
    }
    try {
        queue_.push_back({msg, 0});
    } catch (const std::bad_alloc&) {
        lock.unlock();
        counters.dropped++;  // qos 0: as past the bound
        natsMsg_Destroy(msg);
        return;
    }
    if (!held_) work_.notify_one();
}

// A fetched batch goes in under one lock and one wake-up, so the dispatcher
// hands it on whole instead of waking per message.
void Link::enqueue_fetched(natsMsgList& list, uint64_t sub_id) {
    counters.received += static_cast<uint64_t>(list.Count);
    bool acks = false;
    {
        std::lock_guard lock(mu_);
        for (int i = 0; i < list.Count; i++) {
            natsMsg* msg = list.Msgs[i];
            list.Msgs[i] = nullptr;  // ownership moves here
            if (stopping_) {
                natsMsg_Destroy(msg);  // never acknowledged: the server sends it again
                continue;
            }
            try {
                if (subs_.size() > 1 && !first_match_is(sub_id, natsMsg_GetSubject(msg))) {
                    to_ack_.push_back(msg);
                    acks = true;
                } else {
                    uint64_t token = next_token_++;
                    auto filed = unacked_.emplace(token, msg).first;
                    try {
                        queue_.push_back({msg, token});
                    } catch (...) {
                        unacked_.erase(filed);
                        throw;
                    }
                }
            } catch (const std::bad_alloc&) {
                natsMsg_Destroy(msg);  // never acknowledged: the server sends it again
            }
        }
    }
    if (acks) acks_.notify_one();
    work_.notify_one();
}

size_t Link::wait_for_room(Subscription& sub) {
    std::unique_lock lock(mu_);
    // The hold stops fetching once the core's bound is reached; the window also
    // caps what a fetch that raced the hold can add.
    auto room = [&]() -> size_t {
        size_t window = settings_.max_in_flight;
        if (held_ || unacked_.size() >= window) return 0;
        return std::min(static_cast<size_t>(settings_.max_batch), window - unacked_.size());
    };
    room_.wait_for(lock, std::chrono::milliseconds(kFetchWaitMs),
                   [&] { return stopping_ || sub.stop.load() || room() > 0; });
    if (stopping_ || sub.stop.load()) return 0;
    return room();
}

bool Link::pause(Subscription& sub) {
    std::unique_lock lock(mu_);
    return !room_.wait_for(lock, std::chrono::milliseconds(kFetchWaitMs),
                           [&] { return stopping_ || sub.stop.load(); });
}

void Link::fetch_loop(Subscription* sub) {
    using Clock = std::chrono::steady_clock;
    auto last_news = Clock::now();  // a fetch that brought messages, a full window, or a probe
    while (!sub->stop.load()) {
        {
            std::lock_guard lock(mu_);
            if (stopping_) return;
        }
        size_t room = wait_for_room(*sub);
        if (room == 0) {
            last_news = Clock::now();
            continue;
        }
        OwnedMsgList got;
        jsErrCode jerr = static_cast<jsErrCode>(0);
        natsStatus s = natsSubscription_Fetch(&got.list, sub->sub, static_cast<int>(room), kFetchWaitMs, &jerr);
        if (s == NATS_OK) {
            last_news = Clock::now();
            for (int i = 0; sub->ephemeral && i < got.list.Count; i++) {
                // Without metadata the old mark stays: a replacement repeats messages, never skips any.
                MetaData md;
                if (natsMsg_GetMetaData(&md.meta, got.list.Msgs[i]) == NATS_OK)
                    sub->last_seq = std::max(sub->last_seq, md.meta->Sequence.Stream);
            }
            enqueue_fetched(got.list, sub->id);
            continue;
        }
        if (s != NATS_TIMEOUT) {
            // Disconnected, or the consumer's leader is moving: try again shortly.
            counters.fetch_errors++;
            if (!pause(*sub)) return;
        }
        // A lost ephemeral consumer looks like an idle one (fetches time out), so ask for it.
        if (sub->ephemeral && Clock::now() - last_news >= std::chrono::milliseconds(kProbeAfterMs)) {
            if (consumer_lost(*sub))
                while (!replace_consumer(*sub))
                    if (!pause(*sub)) return;
            last_news = Clock::now();
        }
    }
}

void Link::dispatch_loop() {
    std::vector<Received> batch;
    for (;;) {
        {
            std::unique_lock lock(mu_);
            work_.wait(lock, [&] { return stopping_ || (!queue_.empty() && !held_); });
            if (stopping_) return;
            size_t n = std::min(queue_.size(), static_cast<size_t>(settings_.max_batch));
            try {
                batch.assign(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
            } catch (const std::bad_alloc&) {
                // The queue is untouched: try again shortly.
                work_.wait_for(lock, std::chrono::milliseconds(10), [&] { return stopping_; });
                continue;
            }
            queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
        }
        room_.notify_all();
        counters.batches++;
        deliver_(deliver_context_, batch);  // frees token-0 messages
        batch.clear();
    }
}

// -- acknowledging -------------------------------------------------------------------------------

size_t Link::acknowledge(const std::vector<uint64_t>& tokens) {
    size_t known = 0;
    {
        std::lock_guard lock(mu_);
        try {
            for (uint64_t token : tokens) {
                auto it = unacked_.find(token);
                if (it == unacked_.end()) continue;
                to_ack_.push_back(it->second);
                unacked_.erase(it);
                known++;
            }
        } catch (const std::bad_alloc&) {
            // The rest stays unacknowledged: the server sends it again after the ack wait.
        }
    }
    if (known) {
        acks_.notify_one();
        room_.notify_all();  // the fetch window counts unacknowledged messages
    }
    return known;
}

void Link::ack_loop() {
    std::vector<natsMsg*> batch;
    for (;;) {
        {
            std::unique_lock lock(mu_);
            acks_.wait(lock, [&] { return stopping_ || !to_ack_.empty(); });
            if (to_ack_.empty() && stopping_) return;
            batch.swap(to_ack_);
        }
        for (natsMsg* msg : batch) {
            // A failed ack is redelivered by the server after the ack wait.
            if (natsMsg_Ack(msg, nullptr) == NATS_OK)
                counters.acked++;
            else
                counters.ack_errors++;
            natsMsg_Destroy(msg);
        }
        batch.clear();
    }
}

// -- subscriptions -------------------------------------------------------------------------------

Failure Link::subscribe_core(const std::string& subject, const std::string& group, uint64_t* id) {
    Operation op(*this);
    if (!op.admitted()) return Operation::closed();
    // Filed first: messages can arrive before natsConnection_Subscribe returns.
    Subscription* sub = nullptr;
    uint64_t sub_id = 0;
    auto closure_owner = std::make_unique<CoreClosure>(CoreClosure{shared_from_this(), 0});
    CoreClosure* closure = closure_owner.get();
    {
        auto owned = std::make_unique<Subscription>();
        owned->tokens = split_tokens(subject);
        std::lock_guard lock(mu_);
        owned->id = next_sub_++;
        sub = owned.get();
        closure->sub_id = sub_id = sub->id;
        subs_.emplace(sub->id, std::move(owned));
    }
    closure_owner.release();  // from here on freed below or by libnats' completion callback
    natsSubscription* ns = nullptr;
    natsStatus s = group.empty()
        ? natsConnection_Subscribe(&ns, conn_, subject.c_str(), on_core_message, closure)
        : natsConnection_QueueSubscribe(&ns, conn_, subject.c_str(), group.c_str(), on_core_message, closure);
    if (s == NATS_OK) {
        std::lock_guard lock(mu_);
        sub->sub = ns;
        live_core_subs_++;
        s = natsSubscription_SetOnCompleteCB(ns, on_core_complete, closure);
        if (s != NATS_OK) live_core_subs_--;
    }
    if (s != NATS_OK && ns == nullptr) delete closure;
    // libnats keeps its own queue per subscription; ours is the bound that counts.
    if (s == NATS_OK) s = natsSubscription_SetPendingLimits(ns, -1, -1);
    // The PONG of a flush says the server has processed the SUB.
    if (s == NATS_OK) s = natsConnection_FlushTimeout(conn_, settings_.reply_timeout_ms);
    if (s != NATS_OK) {
        Failure f = from_status(s, "cannot subscribe to " + subject);
        (void)unsubscribe(sub_id);
        return f;
    }
    *id = sub_id;
    return {};
}

Failure Link::stream_of(const std::string& subject, std::string* stream) {
    jsOptions jo;
    natsStatus s = jsOptions_Init(&jo);
    jo.Wait = settings_.reply_timeout_ms;
    jo.Stream.Info.SubjectsFilter = subject.c_str();
    StreamNames names;
    jsErrCode jerr = static_cast<jsErrCode>(0);
    if (s == NATS_OK) s = js_StreamNames(&names.list, js_, &jo, &jerr);
    if (s == NATS_NOT_FOUND || (s == NATS_OK && (names.list == nullptr || names.list->Count == 0)))
        return fail(Failure::lookup, "no stream captures the subject " + subject +
                                         " (create one with ensure_stream)");
    if (s != NATS_OK) return from_status(s, "cannot look up the stream of " + subject);
    *stream = names.list->List[0];
    return {};
}

Failure Link::subscribe_stream(const std::string& subject, const std::string& durable, uint64_t* id) {
    Operation op(*this);
    if (!op.admitted()) return Operation::closed();
    auto sub = std::make_unique<Subscription>();
    sub->pull = true;
    sub->subject = subject;
    sub->tokens = split_tokens(subject);
    Failure f = stream_of(subject, &sub->stream);
    if (f) return f;
    jsOptions jo;
    natsStatus s = jsOptions_Init(&jo);
    jo.Wait = settings_.reply_timeout_ms;
    jsErrCode jerr = static_cast<jsErrCode>(0);
    ConsumerInfo info;
    if (!durable.empty()) {
        // A consumer of our making: libnats deletes consumers it created itself on unsubscribe,
        // and a group's or a persistent client's consumer must outlive its subscribers.
        s = js_GetConsumerInfo(&info.info, js_, sub->stream.c_str(), durable.c_str(), &jo, &jerr);
        if (s == NATS_OK) {
            const char* filter = info.info->Config ? info.info->Config->FilterSubject : nullptr;
            if (filter == nullptr || subject != filter)
                return fail(Failure::value, "the consumer " + durable + " of stream " + sub->stream +
                                                " filters " + (filter ? filter : "nothing") + ", not " + subject);
        } else if (s != NATS_NOT_FOUND) {
            return from_status(s, "cannot look up the consumer " + durable);
        }
    }
    if (info.info == nullptr) {
        s = add_consumer(*sub, durable, 0, &jo, &info.info, &jerr);
        if (s != NATS_OK) return from_status(s, "cannot create a consumer for " + subject);
        sub->ephemeral = durable.empty();
    }
    sub->consumer = info.info->Name;
    s = bind(*sub, sub->consumer.c_str(), &jo, &sub->sub, &jerr);
    if (s != NATS_OK) {
        f = from_status(s, "cannot subscribe to " + subject);
        stop_subscription(*sub);
        return f;
    }
    Subscription* raw = sub.get();
    uint64_t sub_id = 0;
    try {
        std::lock_guard lock(mu_);
        sub->id = sub_id = next_sub_++;
        subs_.emplace(sub->id, std::move(sub));
    } catch (...) {
        f = failure_of_current_exception("cannot file the subscription");
        stop_subscription(*sub);  // not moved: the map's node could not be had
        return f;
    }
    try {
        auto self = shared_from_this();
        raw->fetcher = std::thread([self, raw]() noexcept { self->fetch_loop(raw); });
    } catch (...) {
        f = failure_of_current_exception("cannot start the subscription's fetcher");
        (void)unsubscribe(sub_id);
        return f;
    }
    *id = sub_id;
    return {};
}

// A consumer for the subscription's filter, durable or ephemeral; one that
// replaces a lost one starts after the last stream sequence fetched.
natsStatus Link::add_consumer(const Subscription& sub, const std::string& durable, uint64_t after_seq,
                              jsOptions* jo, jsConsumerInfo** info, jsErrCode* jerr) {
    jsConsumerConfig cc;
    natsStatus s = jsConsumerConfig_Init(&cc);
    cc.Durable = durable.empty() ? nullptr : durable.c_str();
    cc.AckPolicy = js_AckExplicit;
    cc.AckWait = settings_.ack_wait_ms * kNanosPerMs;
    cc.MaxAckPending = settings_.max_ack_pending;
    cc.FilterSubject = sub.subject.c_str();
    cc.DeliverPolicy = after_seq == 0 ? js_DeliverAll : js_DeliverByStartSequence;
    cc.OptStartSeq = after_seq == 0 ? 0 : after_seq + 1;
    if (durable.empty()) cc.InactiveThreshold = std::max<int64_t>(settings_.ack_wait_ms, 30000) * kNanosPerMs;
    if (s == NATS_OK) s = js_AddConsumer(info, js_, sub.stream.c_str(), &cc, jo, jerr);
    return s;
}

natsStatus Link::bind(const Subscription& sub, const char* consumer, jsOptions* jo, natsSubscription** out,
                      jsErrCode* jerr) {
    jsSubOptions so;
    natsStatus s = jsSubOptions_Init(&so);
    so.Stream = sub.stream.c_str();
    so.Consumer = consumer;
    if (s == NATS_OK) s = js_PullSubscribe(out, js_, sub.subject.c_str(), consumer, jo, &so, jerr);
    return s;
}

// nats-server 2.9 places an ephemeral consumer on one node even for a
// replicated stream.  Once that node is down, fetches and info requests for
// the consumer both time out; a deleted one answers "not found".
bool Link::consumer_lost(Subscription& sub) {
    if (natsConnection_Status(conn_) != NATS_CONN_STATUS_CONNECTED) return false;  // says nothing about it
    jsOptions jo;
    natsStatus s = jsOptions_Init(&jo);
    jo.Wait = std::min(settings_.reply_timeout_ms, kProbeWaitMs);
    ConsumerInfo info;
    jsErrCode jerr = static_cast<jsErrCode>(0);
    if (s == NATS_OK) s = js_GetConsumerInfo(&info.info, js_, sub.stream.c_str(), sub.consumer.c_str(), &jo, &jerr);
    return s == NATS_NOT_FOUND || s == NATS_TIMEOUT || s == NATS_NO_RESPONDERS;
}

// The new consumer starts after the last message fetched, so nothing comes
// twice and nothing is skipped; messages of the old one still in the core are
// handled as usual (their acknowledgements go nowhere).  A consumer that was
// only slow to answer is left to its inactivity threshold.
bool Link::replace_consumer(Subscription& sub) {
    jsOptions jo;
    natsStatus s = jsOptions_Init(&jo);
    jo.Wait = std::min(settings_.reply_timeout_ms, kProbeWaitMs);
    jsErrCode jerr = static_cast<jsErrCode>(0);
    ConsumerInfo info;
    natsSubscription* fresh = nullptr;
    if (s == NATS_OK) s = add_consumer(sub, "", sub.last_seq, &jo, &info.info, &jerr);
    if (s == NATS_OK) s = bind(sub, info.info->Name, &jo, &fresh, &jerr);
    if (s != NATS_OK) {
        counters.fetch_errors++;
        return false;
    }
    try {
        // What can fail to allocate comes first: a failure leaves the old binding in place.
        sub.retired.reserve(sub.retired.size() + 1);
        std::string name = info.info->Name;
        // Kept until the subscription ends: messages fetched through it may still be unacknowledged.
        natsSubscription_Unsubscribe(sub.sub);
        sub.retired.push_back(sub.sub);
        sub.sub = fresh;
        sub.consumer = std::move(name);
    } catch (const std::bad_alloc&) {
        natsSubscription_Unsubscribe(fresh);  // its consumer goes after its inactivity threshold
        natsSubscription_Destroy(fresh);
        counters.fetch_errors++;
        return false;
    }
    counters.consumers_recreated++;
    return true;
}

void Link::stop_subscription(Subscription& sub) {
    sub.stop = true;
    room_.notify_all();
    if (sub.fetcher.joinable()) sub.fetcher.join();
    if (sub.sub != nullptr) {
        // Unsubscribing a bound pull subscription leaves the consumer in place.
        natsSubscription_Unsubscribe(sub.sub);
        natsSubscription_Destroy(sub.sub);
        sub.sub = nullptr;
    }
    for (natsSubscription* old : sub.retired) natsSubscription_Destroy(old);
    sub.retired.clear();
    if (sub.ephemeral && js_ != nullptr && conn_ != nullptr &&
        natsConnection_Status(conn_) == NATS_CONN_STATUS_CONNECTED) {
        jsErrCode jerr = static_cast<jsErrCode>(0);
        // Best effort: the server drops it after its inactivity threshold anyway.
        (void)js_DeleteConsumer(js_, sub.stream.c_str(), sub.consumer.c_str(), nullptr, &jerr);
    }
}

Failure Link::unsubscribe(uint64_t id) {
    Operation op(*this);
    if (!op.admitted()) return Operation::closed();
    std::unique_ptr<Subscription> sub;
    {
        std::lock_guard lock(mu_);
        auto it = subs_.find(id);
        if (it == subs_.end()) return fail(Failure::lookup, "no such subscription");
        sub = std::move(it->second);
        subs_.erase(it);
    }
    stop_subscription(*sub);
    if (!sub->pull) {
        natsStatus s = natsConnection_FlushTimeout(conn_, settings_.reply_timeout_ms);
        if (s != NATS_OK) return from_status(s, "unsubscribed, but the server did not confirm it");
    }
    return {};
}

// -- publishing and streams ----------------------------------------------------------------------

Failure Link::publish(const std::string& subject, const char* data, int size, int qos) {
    Operation op(*this);
    if (!op.admitted()) return Operation::closed();
    if (qos == 0) {
        natsStatus s = natsConnection_Publish(pub_conn_, subject.c_str(), data, size);
        return s == NATS_OK ? Failure{} : from_status(s, "cannot publish to " + subject);
    }
    jsPubOptions po;
    natsStatus s = jsPubOptions_Init(&po);
    po.MaxWait = settings_.reply_timeout_ms;
    jsPubAck* ack = nullptr;
    jsErrCode jerr = static_cast<jsErrCode>(0);
    if (s == NATS_OK) s = js_Publish(&ack, js_, subject.c_str(), data, size, &po, &jerr);
    if (ack != nullptr) jsPubAck_Destroy(ack);
    if (s == NATS_OK) return {};
    if (s == NATS_NO_RESPONDERS) {
        // Nobody answered: either no stream captures the subject, or its leader is moving.
        std::string stream;
        Failure f = stream_of(subject, &stream);
        if (f.kind == Failure::lookup) return f;
        return fail(Failure::connection, "the stream " + stream + " did not store " + subject +
                                             " (no leader answered)");
    }
    return from_status(s, "the stream did not store " + subject);
}

Failure Link::ensure_stream(const std::string& name, const std::vector<std::string>& subjects, int64_t replicas) {
    Operation op(*this);
    if (!op.admitted()) return Operation::closed();
    jsOptions jo;
    natsStatus s = jsOptions_Init(&jo);
    jo.Wait = settings_.reply_timeout_ms;
    jsErrCode jerr = static_cast<jsErrCode>(0);
    StreamInfo info;
    if (s == NATS_OK) s = js_GetStreamInfo(&info.info, js_, name.c_str(), &jo, &jerr);
    if (s == NATS_OK) {
        const jsStreamConfig* have = info.info->Config;
        for (const auto& subject : subjects) {
            bool found = false;
            for (int i = 0; have && i < have->SubjectsLen; i++) found = found || covers(have->Subjects[i], subject);
            if (!found)
                return fail(Failure::value, "the stream " + name + " exists and does not capture " + subject);
        }
        if (have && have->Replicas != replicas)
            return fail(Failure::value, "the stream " + name + " exists with " + std::to_string(have->Replicas) +
                                            " replicas, not " + std::to_string(replicas));
        return {};
    }
    if (s != NATS_NOT_FOUND) return from_status(s, "cannot look up the stream " + name);
    std::vector<const char*> subject_ptrs;
    for (const auto& subject : subjects) subject_ptrs.push_back(subject.c_str());
    jsStreamConfig sc;
    s = jsStreamConfig_Init(&sc);
    sc.Name = name.c_str();
    sc.Subjects = subject_ptrs.data();
    sc.SubjectsLen = static_cast<int>(subject_ptrs.size());
    sc.Storage = js_FileStorage;
    sc.Replicas = replicas;
    StreamInfo created;
    if (s == NATS_OK) s = js_AddStream(&created.info, js_, &sc, &jo, &jerr);
    if (s != NATS_OK)
        return from_status(s, "cannot create the stream " + name + " (JetStream error " +
                                  std::to_string(static_cast<int>(jerr)) + ")", Failure::value);
    return {};
}

void Link::hold(bool on) {
    {
        std::lock_guard lock(mu_);
        if (on && !held_) counters.held++;
        held_ = on;
    }
    if (!on) {
        work_.notify_one();
        room_.notify_all();
    }
}

size_t Link::queued() const {
    std::lock_guard lock(mu_);
    return queue_.size();
}

size_t Link::unacknowledged() const {
    std::lock_guard lock(mu_);
    return unacked_.size();
}

// -- closing -------------------------------------------------------------------------------------

void Link::close() {
    std::lock_guard closing(close_mu_);
    if (closed_) return;
    closed_ = true;
    {
        // Calls in progress finish first; later ones are refused.
        std::unique_lock lock(ops_mu_);
        ops_closed_ = true;
        ops_done_.wait(lock, [&] { return ops_ == 0; });
    }
    std::map<uint64_t, std::unique_ptr<Subscription>> subs;
    {
        std::lock_guard lock(mu_);
        stopping_ = true;
        subs.swap(subs_);
    }
    work_.notify_all();
    room_.notify_all();
    acks_.notify_all();
    for (auto& [id, sub] : subs) stop_subscription(*sub);
    if (acker_.joinable()) acker_.join();  // sends what was acknowledged before close
    if (conn_ != nullptr) natsConnection_FlushTimeout(conn_, 1000);
    if (conn_ != nullptr) natsConnection_Close(conn_);
    {
        // libnats may still be inside on_core_message; its completion callback says when not.
        std::unique_lock lock(mu_);
        room_.wait_for(lock, std::chrono::seconds(5), [&] { return live_core_subs_ <= 0; });
    }
    if (dispatcher_.joinable()) {
        bool done = false;
        if (!on_dispatcher_thread()) {
            // Handlers run on the dispatcher: one that does not return within the
            // wait is left to finish on its own (the thread holds the link).
            std::unique_lock lock(mu_);
            done = room_.wait_for(lock, std::chrono::milliseconds(settings_.close_wait_ms),
                                  [&] { return dispatcher_done_; });
        }
        if (done)
            dispatcher_.join();
        else
            dispatcher_.detach();  // closed from a handler: the loop ends when the handler returns
    }
    if (js_ != nullptr) jsCtx_Destroy(js_);
    js_ = nullptr;
    if (pub_conn_ != nullptr) {
        natsConnection_FlushTimeout(pub_conn_, 1000);
        natsConnection_Destroy(pub_conn_);  // closes it
    }
    pub_conn_ = nullptr;
    if (conn_ != nullptr) natsConnection_Destroy(conn_);
    conn_ = nullptr;
    std::lock_guard lock(mu_);
    for (auto& r : queue_)
        if (r.token == 0) natsMsg_Destroy(r.msg);  // the others are in unacked_
    for (auto& [token, msg] : unacked_) natsMsg_Destroy(msg);
    for (natsMsg* msg : to_ack_) natsMsg_Destroy(msg);
    queue_.clear();
    unacked_.clear();
    to_ack_.clear();
}

}  // namespace natsbus
