// A status-notifier host on the test's session bus, as a desktop panel provides one: it
// owns org.kde.StatusNotifierWatcher, takes item registrations, and clicks items of an
// item's menu (com.canonical.dbusmenu) as a person clicking the tray menu does. A silent host
// owns the name but holds every call to it unanswered until the test releases them.
#pragma once

#include <gio/gio.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace test_support {

class Tray_Host {
 public:
  explicit Tray_Host(bool answers = true) : answers_(answers) {
    thread_ = std::thread([this] { run(); });
    std::unique_lock<std::mutex> guard(lock_);
    ready_.wait(guard, [this] { return started_; });
  }
  ~Tray_Host() {
    release(false);
    if (loop_ != nullptr) g_main_loop_quit(loop_);
    thread_.join();
  }
  Tray_Host(const Tray_Host&) = delete;
  Tray_Host& operator=(const Tray_Host&) = delete;

  bool owns_name() {
    std::lock_guard<std::mutex> guard(lock_);
    return owned_;
  }
  // Bus name and object path of the first registered item ("" while none).
  std::pair<std::string, std::string> item() {
    std::lock_guard<std::mutex> guard(lock_);
    return item_;
  }

  // Whether a read of the watcher's property `property` is held unanswered (silent host).
  bool holds(const std::string& property) {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& call : held_) {
      if (call.first == property) return true;
    }
    return false;
  }
  // Answers the held calls: the property IsStatusNotifierHostRegistered with `host`, every
  // other call with an error. The host stays silent for later calls.
  void release(bool host) {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& [what, invocation] : held_) {
      if (what == "IsStatusNotifierHostRegistered") {
        g_dbus_method_invocation_return_value(
            invocation, g_variant_new("(v)", g_variant_new_boolean(host ? TRUE : FALSE)));
      } else {
        g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.Failed",
                                                   "the test's silent host");
      }
    }
    held_.clear();
  }

  // Clicks the menu entry labelled `label` of the registered item. false when the item,
  // its menu or the entry cannot be found.
  bool click(const std::string& label) {
    const auto [service, path] = item();
    if (service.empty()) return false;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (bus == nullptr) return false;
    bool clicked = false;
    GVariant* menu = call(bus, service, path, "org.freedesktop.DBus.Properties", "Get",
                          g_variant_new("(ss)", "org.kde.StatusNotifierItem", "Menu"), "(v)");
    if (menu != nullptr) {
      GVariant* boxed = nullptr;
      g_variant_get(menu, "(v)", &boxed);
      const std::string menu_path = g_variant_get_string(boxed, nullptr);
      g_variant_unref(boxed);
      g_variant_unref(menu);
      const int id = find_entry(bus, service, menu_path, label);
      if (id > 0) {
        GVariant* done =
            call(bus, service, menu_path, "com.canonical.dbusmenu", "Event",
                 g_variant_new("(isvu)", id, "clicked", g_variant_new_int32(0), 0u), "()");
        clicked = done != nullptr;
        if (done != nullptr) g_variant_unref(done);
      }
    }
    g_object_unref(bus);
    return clicked;
  }

 private:
  static constexpr char kIntrospection[] = R"(<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
  </interface>
</node>)";

  static GVariant* call(GDBusConnection* bus, const std::string& name, const std::string& path,
                        const char* iface, const char* method, GVariant* args, const char* reply) {
    return g_dbus_connection_call_sync(bus, name.c_str(), path.c_str(), iface, method, args,
                                       G_VARIANT_TYPE(reply), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
                                       nullptr);
  }

  // The id of the menu entry labelled `label` (depth-first), or 0.
  static int find_entry(GDBusConnection* bus, const std::string& service, const std::string& path,
                        const std::string& label) {
    const char* names[] = {"label", nullptr};
    GVariant* reply = call(bus, service, path, "com.canonical.dbusmenu", "GetLayout",
                           g_variant_new("(ii^as)", 0, -1, names), "(u(ia{sv}av))");
    if (reply == nullptr) return 0;
    GVariant* layout = g_variant_get_child_value(reply, 1);
    const int id = search(layout, label);
    g_variant_unref(layout);
    g_variant_unref(reply);
    return id;
  }
  static int search(GVariant* node, const std::string& label) {
    gint32 id = 0;
    GVariant* props = nullptr;
    GVariant* children = nullptr;
    g_variant_get(node, "(i@a{sv}@av)", &id, &props, &children);
    int found = 0;
    const char* text = nullptr;
    if (g_variant_lookup(props, "label", "&s", &text) && label == text) found = id;
    for (gsize i = 0; found == 0 && i < g_variant_n_children(children); ++i) {
      GVariant* boxed = g_variant_get_child_value(children, i);
      GVariant* child = g_variant_get_variant(boxed);
      found = search(child, label);
      g_variant_unref(child);
      g_variant_unref(boxed);
    }
    g_variant_unref(props);
    g_variant_unref(children);
    return found;
  }

  static void on_call(GDBusConnection*, const char* sender, const char*, const char*,
                      const char* method, GVariant* parameters, GDBusMethodInvocation* invocation,
                      void* self) {
    auto* host = static_cast<Tray_Host*>(self);
    if (!host->answers_) {
      // Properties.Get comes here too (no property handler): held under the property's name.
      const char* property = nullptr;
      if (std::string(method) == "Get") g_variant_get(parameters, "(&s&s)", nullptr, &property);
      std::lock_guard<std::mutex> guard(host->lock_);
      host->held_.emplace_back(property != nullptr ? property : method, invocation);
      return;
    }
    if (std::string(method) == "RegisterStatusNotifierItem") {
      const char* service = nullptr;
      g_variant_get(parameters, "(&s)", &service);
      std::lock_guard<std::mutex> guard(host->lock_);
      if (host->item_.first.empty()) {
        host->item_ = service[0] == '/' ? std::make_pair(std::string(sender), std::string(service))
                                        : std::make_pair(std::string(service),
                                                         std::string("/StatusNotifierItem"));
      }
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
  }
  static GVariant* on_property(GDBusConnection*, const char*, const char*, const char*,
                               const char* name, GError**, void* self) {
    auto* host = static_cast<Tray_Host*>(self);
    const std::string property = name;
    if (property == "IsStatusNotifierHostRegistered") return g_variant_new_boolean(TRUE);
    if (property == "ProtocolVersion") return g_variant_new_int32(0);
    std::lock_guard<std::mutex> guard(host->lock_);
    GVariantBuilder items;
    g_variant_builder_init(&items, G_VARIANT_TYPE("as"));
    if (!host->item_.first.empty()) {
      g_variant_builder_add(&items, "s", (host->item_.first + host->item_.second).c_str());
    }
    return g_variant_builder_end(&items);
  }
  static void on_acquired(GDBusConnection*, const char*, void* self) {
    auto* host = static_cast<Tray_Host*>(self);
    std::lock_guard<std::mutex> guard(host->lock_);
    host->owned_ = true;
  }

  void run() {
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    loop_ = g_main_loop_new(context, FALSE);
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
    static const GDBusInterfaceVTable vtable = {
        &Tray_Host::on_call, &Tray_Host::on_property, nullptr, {nullptr}};
    static const GDBusInterfaceVTable silent = {&Tray_Host::on_call, nullptr, nullptr, {nullptr}};
    unsigned int object = 0, name = 0;
    if (bus != nullptr && info != nullptr) {
      object =
          g_dbus_connection_register_object(bus, "/StatusNotifierWatcher", info->interfaces[0],
                                            answers_ ? &vtable : &silent, this, nullptr, nullptr);
      name = g_bus_own_name_on_connection(bus, "org.kde.StatusNotifierWatcher",
                                          G_BUS_NAME_OWNER_FLAGS_NONE, &Tray_Host::on_acquired,
                                          nullptr, this, nullptr);
    }
    {
      std::lock_guard<std::mutex> guard(lock_);
      started_ = true;
    }
    ready_.notify_all();
    g_main_loop_run(loop_);
    if (name != 0) g_bus_unown_name(name);
    if (object != 0) g_dbus_connection_unregister_object(bus, object);
    if (info != nullptr) g_dbus_node_info_unref(info);
    if (bus != nullptr) g_object_unref(bus);
    g_main_loop_unref(loop_);
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
  }

  const bool answers_;
  std::thread thread_;
  GMainLoop* loop_ = nullptr;
  std::mutex lock_;
  std::condition_variable ready_;
  bool started_ = false;
  bool owned_ = false;
  std::pair<std::string, std::string> item_;
  std::vector<std::pair<std::string, GDBusMethodInvocation*>> held_;  // what, the call
};

}  // namespace test_support
