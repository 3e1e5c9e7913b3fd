#include "platform/linux/pulse_session.h"

#include <string>
#include <utility>

namespace audiotap::platform::linux {

namespace {

struct SinkQuery {
  std::optional<SinkInfo> sink;
  bool failed = false;
};

}  // namespace

Session::Session(std::chrono::milliseconds limit, DefaultSinkWatcher watcher,
                 std::function<void()> defaultSourceWatcher)
    : limit_(limit), watcher_(std::move(watcher)), sourceWatcher_(std::move(defaultSourceWatcher)) {}

Session::~Session() {
  if (context_ != nullptr) {
    pa_context_disconnect(context_);
    pa_context_unref(context_);
  }
  if (loop_ != nullptr) pa_mainloop_free(loop_);
}

pa_buffer_attr recordAttributes(const pa_sample_spec& format, bool pipewire) {
  pa_buffer_attr attributes;
  attributes.maxlength = std::uint32_t(-1);
  attributes.tlength = std::uint32_t(-1);
  attributes.prebuf = std::uint32_t(-1);
  attributes.minreq = std::uint32_t(-1);
  attributes.fragsize = pipewire ? std::uint32_t(kPipeWireFragmentFrames * pa_frame_size(&format))
                                 : std::uint32_t(pa_usec_to_bytes(kFragment, &format));
  return attributes;
}

bool servedByPipeWire(Session& session) {
  std::string name;
  auto onServer = [](pa_context*, const pa_server_info* info, void* user) {
    if (info != nullptr && info->server_name != nullptr) *static_cast<std::string*>(user) = info->server_name;
  };
  pa_operation* operation = pa_context_get_server_info(session.context(), onServer, &name);
  if (operation == nullptr) return false;
  const bool done =
      session.waitUntil([operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; });
  if (!done) pa_operation_cancel(operation);
  pa_operation_unref(operation);
  return name.find("PipeWire") != std::string::npos;
}

pa_context* newContext(pa_mainloop* loop) {
  pa_proplist* properties = pa_proplist_new();
  pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "audiotap");
  pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "com.orvane.audiotap");
  pa_context* context = pa_context_new_with_proplist(pa_mainloop_get_api(loop), "audiotap", properties);
  pa_proplist_free(properties);
  return context;
}

bool Session::connect() {
  if (attempted_) return connected();
  attempted_ = true;
  loop_ = pa_mainloop_new();
  if (loop_ == nullptr) {
    error_ = PA_ERR_INTERNAL;
    return false;
  }
  context_ = newContext(loop_);
  if (context_ == nullptr) {
    error_ = PA_ERR_INTERNAL;
    return false;
  }
  // A capture tool must report a missing server, not start one behind the
  // user's back.
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    error_ = pa_context_errno(context_);
    return false;
  }
  if (!waitUntil([this] { return pa_context_get_state(context_) == PA_CONTEXT_READY; })) return false;
  subscribe();
  return true;
}

void Session::subscribe() {
  const auto mask = pa_subscription_mask_t((watcher_ || sourceWatcher_ ? PA_SUBSCRIPTION_MASK_SERVER : 0) |
                                           (sinkInputsChanged_ ? PA_SUBSCRIPTION_MASK_SINK_INPUT : 0) |
                                           (sinksChanged_ ? PA_SUBSCRIPTION_MASK_SINK : 0));
  if (mask == PA_SUBSCRIPTION_MASK_NULL) return;
  pa_context_set_subscribe_callback(
      context_,
      [](pa_context* context, pa_subscription_event_type_t type, std::uint32_t index, void* user) {
        auto* self = static_cast<Session*>(user);
        const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT) {
          if (self->sinkInputsChanged_) self->sinkInputsChanged_();
          return;
        }
        if (facility == PA_SUBSCRIPTION_EVENT_SINK) {
          if (self->sinksChanged_) self->sinksChanged_(index);
          return;
        }
        // A change of the default sink or source arrives as a change of the
        // server object; the new names come with the server info, asked for
        // on each such event.
        if (facility != PA_SUBSCRIPTION_EVENT_SERVER || (!self->watcher_ && !self->sourceWatcher_)) return;
        auto onServer = [](pa_context*, const pa_server_info* info, void* self) {
          if (info != nullptr) static_cast<Session*>(self)->defaultsSeen(*info);
        };
        if (pa_operation* operation = pa_context_get_server_info(context, onServer, self)) {
          pa_operation_unref(operation);
        }
      },
      this);
  if (pa_operation* operation = pa_context_subscribe(context_, mask, nullptr, nullptr)) {
    pa_operation_unref(operation);
  }
}

void Session::watchSinkInputs(std::function<void()> changed) {
  const bool subscribed = bool(sinkInputsChanged_);
  sinkInputsChanged_ = std::move(changed);
  if (!subscribed && sinkInputsChanged_ && connected()) subscribe();
}

void Session::watchSinks(std::function<void(std::uint32_t index)> changed) {
  const bool subscribed = bool(sinksChanged_);
  sinksChanged_ = std::move(changed);
  if (!subscribed && sinksChanged_ && connected()) subscribe();
}

void Session::defaultsSeen(const pa_server_info& info) {
  const auto changed = [](std::string& last, const char* name) {
    const std::string seen = name != nullptr ? name : "";
    if (seen == last) return false;
    last = seen;
    return true;
  };
  if (changed(defaultSink_, info.default_sink_name) && watcher_) watcher_();
  if (changed(defaultSource_, info.default_source_name) && sourceWatcher_) sourceWatcher_();
}

bool Session::connected() const {
  return context_ != nullptr && pa_context_get_state(context_) == PA_CONTEXT_READY;
}

bool Session::waitUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + limit_;
  while (!done()) {
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) {
      error_ = pa_context_errno(context_);
      return false;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      error_ = PA_ERR_TIMEOUT;
      return false;
    }
    if (pa_mainloop_prepare(loop_, int(left.count())) < 0 || pa_mainloop_poll(loop_) < 0 ||
        pa_mainloop_dispatch(loop_) < 0) {
      error_ = PA_ERR_INTERNAL;
      return false;
    }
  }
  return true;
}

bool Session::await(pa_operation* operation) {
  if (operation == nullptr) {
    error_ = pa_context_errno(context_);
    return false;
  }
  const bool done =
      waitUntil([operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; });
  if (!done) pa_operation_cancel(operation);
  pa_operation_unref(operation);
  return done;
}

std::optional<SinkInfo> Session::defaultSink() {
  if (!connect()) return std::nullopt;
  struct Defaults {
    std::optional<std::string> sink;
    std::string source;
  } defaults;
  auto onServer = [](pa_context*, const pa_server_info* info, void* user) {
    auto* d = static_cast<Defaults*>(user);
    if (info == nullptr) return;
    if (info->default_sink_name != nullptr && info->default_sink_name[0] != '\0') d->sink = info->default_sink_name;
    if (info->default_source_name != nullptr) d->source = info->default_source_name;
  };
  if (!await(pa_context_get_server_info(context_, onServer, &defaults))) return std::nullopt;
  // What the caller builds on now; only a later change is news.
  const std::optional<std::string>& name = defaults.sink;
  defaultSink_ = name.value_or("");
  defaultSource_ = defaults.source;
  if (!name) {
    error_ = PA_ERR_NOENTITY;
    return std::nullopt;
  }

  SinkQuery query;
  auto onSink = [](pa_context*, const pa_sink_info* info, int eol, void* user) {
    auto* q = static_cast<SinkQuery*>(user);
    if (eol < 0) q->failed = true;
    if (info == nullptr) return;
    SinkInfo sink;
    sink.name = info->name != nullptr ? info->name : "";
    sink.monitorSource = info->monitor_source_name != nullptr ? info->monitor_source_name : "";
    sink.index = info->index;
    sink.rate = info->sample_spec.rate;
    q->sink = std::move(sink);
  };
  if (!await(pa_context_get_sink_info_by_name(context_, name->c_str(), onSink, &query))) return std::nullopt;
  if (query.failed || !query.sink || query.sink->name.empty() || query.sink->rate == 0) {
    error_ = query.failed ? pa_context_errno(context_) : PA_ERR_NOENTITY;
    return std::nullopt;
  }
  return query.sink;
}

bool Session::sourceExists(const std::string& name) {
  if (!connect()) return false;
  struct Query {
    bool found = false;
    bool failed = false;
  } query;
  auto onSource = [](pa_context*, const pa_source_info* info, int eol, void* user) {
    auto* q = static_cast<Query*>(user);
    if (eol < 0) q->failed = true;
    if (info != nullptr) q->found = true;
  };
  if (!await(pa_context_get_source_info_by_name(context_, name.c_str(), onSource, &query))) return false;
  if (!query.found) {
    error_ = query.failed ? pa_context_errno(context_) : PA_ERR_NOENTITY;
    return false;
  }
  return true;
}

std::optional<std::string> Session::defaultMicrophone() {
  if (!connect()) return std::nullopt;
  std::string name;
  auto onServer = [](pa_context*, const pa_server_info* info, void* user) {
    if (info != nullptr && info->default_source_name != nullptr)
      *static_cast<std::string*>(user) = info->default_source_name;
  };
  if (!await(pa_context_get_server_info(context_, onServer, &name))) return std::nullopt;
  // What the caller builds on now; only a later change is news.
  defaultSource_ = name;
  if (name.empty()) return std::nullopt;
  struct Query {
    bool found = false;
    bool monitor = false;
  } query;
  auto onSource = [](pa_context*, const pa_source_info* info, int, void* user) {
    if (info == nullptr) return;
    auto* q = static_cast<Query*>(user);
    q->found = true;
    q->monitor = info->monitor_of_sink != PA_INVALID_INDEX;
  };
  if (!await(pa_context_get_source_info_by_name(context_, name.c_str(), onSource, &query)))
    return std::nullopt;
  if (!query.found || query.monitor) return std::nullopt;
  return name;
}

int Session::lastError() const { return error_ != 0 ? error_ : PA_ERR_UNKNOWN; }

}  // namespace audiotap::platform::linux
