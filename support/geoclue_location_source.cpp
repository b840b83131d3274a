// GeoClue2 through libgeoclue's simple client, on a GLib main loop of its own thread. An agent
// that refuses, or a system without GeoClue, gives no fixes and no errors.
#include "kivo/location_manager.h"

#if KIVO_HAVE_GEOCLUE

#include <geoclue.h>

#include <mutex>
#include <thread>

namespace kivo {
namespace {

constexpr const char* kDesktopId = "kivo";
constexpr guint kDistanceThresholdMetres = 5;

class GeoClueLocationSource final : public LocationSource {
 public:
  ~GeoClueLocationSource() override { stopUpdates(); }

  void startUpdates(std::function<void(std::vector<Location>)> deliver) override {
    std::lock_guard lock(mutex_);
    if (thread_.joinable()) return;
    deliver_ = std::move(deliver);
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    cancellable_ = g_cancellable_new();
    thread_ = std::thread([this] { run(); });
  }

  void stopUpdates() override {
    std::lock_guard lock(mutex_);
    if (!thread_.joinable()) return;
    g_cancellable_cancel(cancellable_);
    g_main_context_invoke(
        context_,
        [](gpointer loop) -> gboolean {
          g_main_loop_quit(static_cast<GMainLoop*>(loop));
          return G_SOURCE_REMOVE;
        },
        loop_);
    thread_.join();
    g_clear_object(&cancellable_);
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
    loop_ = nullptr;
    context_ = nullptr;
    deliver_ = nullptr;
  }

 private:
  // GeoClue thread: the client lives and dies here; dropping it stops the agent's updates.
  void run() {
    g_main_context_push_thread_default(context_);
    gclue_simple_new_with_thresholds(kDesktopId, GCLUE_ACCURACY_LEVEL_EXACT, 0, kDistanceThresholdMetres, cancellable_,
                                     &GeoClueLocationSource::clientReady, this);
    g_main_loop_run(loop_);
    g_clear_object(&simple_);
    g_main_context_pop_thread_default(context_);
  }

  static void clientReady(GObject*, GAsyncResult* result, gpointer self) {
    GError* error = nullptr;
    GClueSimple* simple = gclue_simple_new_with_thresholds_finish(result, &error);
    if (!simple) {  // refused, absent or cancelled
      g_clear_error(&error);
      return;
    }
    auto* source = static_cast<GeoClueLocationSource*>(self);
    source->simple_ = simple;
    g_signal_connect(simple, "notify::location", G_CALLBACK(&GeoClueLocationSource::locationChanged), self);
    locationChanged(nullptr, nullptr, self);
  }

  static void locationChanged(GObject*, GParamSpec*, gpointer self) {
    auto* source = static_cast<GeoClueLocationSource*>(self);
    GClueLocation* location = source->simple_ ? gclue_simple_get_location(source->simple_) : nullptr;
    if (!location) return;
    Location fix;
    fix.latitude = gclue_location_get_latitude(location);
    fix.longitude = gclue_location_get_longitude(location);
    fix.horizontalAccuracy = gclue_location_get_accuracy(location);
    fix.timestamp = std::chrono::system_clock::now();
    if (GVariant* stamp = gclue_location_get_timestamp(location)) {
      guint64 secs = 0, micros = 0;
      g_variant_get(stamp, "(tt)", &secs, &micros);
      if (secs) fix.timestamp = std::chrono::system_clock::time_point(std::chrono::seconds(secs) + std::chrono::microseconds(micros));
    }
    source->deliver_({fix});
  }

  std::mutex mutex_;  // serialises start and stop
  std::function<void(std::vector<Location>)> deliver_;  // set before the thread starts
  GMainContext* context_ = nullptr;
  GMainLoop* loop_ = nullptr;
  GCancellable* cancellable_ = nullptr;
  GClueSimple* simple_ = nullptr;  // GeoClue thread only
  std::thread thread_;
};

}  // namespace

std::shared_ptr<LocationSource> makeGeoClueLocationSource() { return std::make_shared<GeoClueLocationSource>(); }

}  // namespace kivo

#else

namespace kivo {

std::shared_ptr<LocationSource> makeGeoClueLocationSource() { return nullptr; }

}  // namespace kivo

#endif
