#include "SimHost.h"

#include <limits>

namespace PedalSim {
namespace {

constexpr Millis kIdleWakeMs = 1000;  // a worker with nothing due still looks round once a second

}  // namespace

SimHost::SimHost(std::vector<PedalConfig> pedals, std::shared_ptr<Transport> transport, EventSink sink)
    : transport_(std::move(transport)), sink_(std::move(sink)), start_(std::chrono::steady_clock::now()) {
  std::map<uint16_t, int> ownPortsOfType;
  std::map<std::string, size_t> groupOfPort;
  for (size_t i = 0; i < pedals.size(); ++i) {
    PedalConfig& c = pedals[i];
    const int index = static_cast<int>(i);
    if (c.port.empty()) {
      // Two pedals of one type on their own ports need different port names.
      const int seen = ownPortsOfType[c.type.fidpid]++;
      if (seen > 0 && c.portSuffix.empty()) c.portSuffix = " " + std::to_string(seen + 1);
      groups_.push_back(Group{});
      groups_.back().pedals.push_back(index);
    } else {
      auto [it, fresh] = groupOfPort.emplace(c.port, groups_.size());
      if (fresh) {
        groups_.push_back(Group{});
        groups_.back().fixedName = c.port;
      }
      groups_[it->second].pedals.push_back(index);
    }
    engines_.push_back(std::make_unique<PedalEngine>(std::move(c)));
    engines_.back()->setObserver(
        [this, index](const std::string& kind, const Json& fields) { log(index, kind, fields); });
  }
}

SimHost::~SimHost() { stop(); }

Millis SimHost::now() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_).count();
}

void SimHost::log(int pedal, const std::string& kind, const Json& fields) {
  if (!sink_) return;
  Json line;
  line.add("t_ms", static_cast<int64_t>(now())).add("pedal", pedal);
  if (pedal >= 0 && static_cast<size_t>(pedal) < engines_.size()) line.add("label", engines_[static_cast<size_t>(pedal)]->config().label);
  line.add("event", kind).merge(fields);
  std::lock_guard lock(sinkMutex_);
  sink_(line.str());
}

bool SimHost::start(std::string* error) {
  {
    std::lock_guard lock(mutex_);
    start_ = std::chrono::steady_clock::now();
    if (!syncPorts(error)) {
      for (Group& g : groups_) g.endpoint.reset();
      return false;
    }
  }
  worker_ = std::jthread([this](std::stop_token stop) { run(stop); });
  return true;
}

void SimHost::stop() {
  if (worker_.joinable()) {
    worker_.request_stop();
    inboxReady_.notify_all();
    worker_.join();
  }
  std::lock_guard lock(mutex_);
  for (Group& g : groups_) {
    if (g.endpoint) {
      g.endpoint.reset();
      ++g.generation;
    }
  }
}

void SimHost::wake() {
  {
    std::lock_guard lock(inboxMutex_);
    woken_ = true;
  }
  inboxReady_.notify_all();
}

void SimHost::withPedal(int index, const std::function<void(PedalEngine&)>& fn) {
  std::lock_guard lock(mutex_);
  if (index >= 0 && static_cast<size_t>(index) < engines_.size()) fn(*engines_[static_cast<size_t>(index)]);
}

std::vector<SimHost::PortState> SimHost::openPorts() {
  std::lock_guard lock(mutex_);
  std::vector<PortState> out;
  for (const Group& g : groups_) {
    if (g.endpoint) out.push_back({g.in, g.out, g.pedals});
  }
  return out;
}

std::vector<std::string> SimHost::summary() {
  std::lock_guard lock(mutex_);
  std::vector<std::string> lines;
  for (size_t i = 0; i < engines_.size(); ++i) {
    Json line;
    line.add("event", "summary").add("pedal", static_cast<int>(i)).merge(engines_[i]->summary());
    for (const Group& g : groups_) {
      for (int p : g.pedals) {
        if (p != static_cast<int>(i)) continue;
        line.add("in_port", g.endpoint ? g.in : std::string()).add("out_port", g.endpoint ? g.out : std::string());
      }
    }
    lines.push_back(line.str());
  }
  return lines;
}

void SimHost::run(std::stop_token stop) {
  while (!stop.stop_requested()) {
    Millis next = std::numeric_limits<Millis>::max();
    {
      std::lock_guard lock(mutex_);
      if (!outbox_.empty()) next = outbox_.begin()->first;
      for (const auto& e : engines_) {
        if (auto d = e->nextDeadline()) next = std::min(next, *d);
      }
    }
    std::deque<Incoming> batch;
    {
      std::unique_lock lock(inboxMutex_);
      const Millis wait = std::min(kIdleWakeMs, std::max<Millis>(0, next - now()));
      inboxReady_.wait_for(lock, stop, std::chrono::milliseconds(wait), [this] { return !inbox_.empty() || woken_; });
      batch.swap(inbox_);
      woken_ = false;
    }
    if (stop.stop_requested()) break;
    std::lock_guard lock(mutex_);
    const Millis t = now();
    for (const Incoming& m : batch) deliver(m, t);
    for (size_t i = 0; i < engines_.size(); ++i) {
      std::vector<Reply> replies;
      engines_[i]->advance(t, replies);
      for (Reply& r : replies) {
        // The group of a pedal: the one whose list holds it.
        for (size_t g = 0; g < groups_.size(); ++g) {
          for (int p : groups_[g].pedals) {
            if (p == static_cast<int>(i)) outbox_.emplace(t + r.delayMs, Outgoing{g, p, r.bytes, engines_[i]->restarts()});
          }
        }
      }
    }
    sendDue(t);
    syncPorts(nullptr);
  }
}

void SimHost::deliver(const Incoming& m, Millis at) {
  Group& g = groups_[m.group];
  if (m.generation != g.generation) return;  // arrived on ports closed since
  for (int p : g.pedals) {
    std::vector<Reply> replies;
    engines_[static_cast<size_t>(p)]->receive(m.bytes, at, replies);
    const uint64_t restarts = engines_[static_cast<size_t>(p)]->restarts();
    for (Reply& r : replies) outbox_.emplace(at + r.delayMs, Outgoing{m.group, p, std::move(r.bytes), restarts});
  }
}

void SimHost::sendDue(Millis at) {
  while (!outbox_.empty() && outbox_.begin()->first <= at) {
    Outgoing o = std::move(outbox_.begin()->second);
    outbox_.erase(outbox_.begin());
    Group& g = groups_[o.group];
    // A reply made before the pedal restarted dies with the restart.
    const bool restarted = engines_[static_cast<size_t>(o.pedal)]->restarts() != o.restarts;
    if (!g.endpoint || restarted || !g.endpoint->send(o.bytes)) {
      log(o.pedal, "lost", Json().addHex("data", o.bytes).add("why", restarted ? "pedal restarted" : "port closed"));
    }
  }
}

bool SimHost::syncPorts(std::string* error) {
  bool ok = true;
  for (size_t gi = 0; gi < groups_.size(); ++gi) {
    Group& g = groups_[gi];
    const int first = g.pedals.front();
    bool want = true;
    std::string in = g.fixedName, out = g.fixedName;
    if (g.fixedName.empty()) {
      const PedalEngine& e = *engines_[static_cast<size_t>(first)];
      want = e.hasPorts();
      in = e.inPortName();
      out = e.outPortName();
    }
    if (g.endpoint && (!want || in != g.in || out != g.out)) {
      g.endpoint.reset();
      ++g.generation;
      log(first, "ports", Json().add("closed", true).add("in", g.in).add("out", g.out));
    }
    if (want && !g.endpoint) {
      const uint64_t generation = g.generation;
      std::string why;
      g.endpoint = transport_->open(
          in, out,
          [this, gi, generation](MidiBytes bytes) {
            {
              std::lock_guard lock(inboxMutex_);
              inbox_.push_back(Incoming{gi, generation, std::move(bytes)});
            }
            inboxReady_.notify_all();
          },
          &why);
      if (!g.endpoint) {
        log(first, "ports", Json().add("open_failed", why).add("in", in).add("out", out));
        if (error && ok) *error = "cannot open ports \"" + in + "\" / \"" + out + "\": " + why;
        ok = false;
        continue;
      }
      g.in = in;
      g.out = out;
      log(first, "ports", Json().add("opened", true).add("in", in).add("out", out));
    }
  }
  return ok;
}

}  // namespace PedalSim
