#include "platform/session_bus.h"

#include <dbus/dbus.h>

#include <climits>

namespace plat {

namespace {

// One private connection, closed and released at the end of the scope.
class PrivateConnection {
 public:
  explicit PrivateConnection(DBusConnection* connection) : connection_(connection) {}
  ~PrivateConnection() {
    if (connection_ == nullptr) return;
    dbus_connection_close(connection_);
    dbus_connection_unref(connection_);
  }
  PrivateConnection(const PrivateConnection&) = delete;
  PrivateConnection& operator=(const PrivateConnection&) = delete;

  DBusConnection* get() const { return connection_; }

 private:
  DBusConnection* connection_;
};

BusNameOwner NoBus(DBusError* failure, const char* fallback, std::string* error) {
  if (error != nullptr) {
    *error =
        dbus_error_is_set(failure) && failure->message != nullptr ? failure->message : fallback;
  }
  dbus_error_free(failure);
  return BusNameOwner::kNoBus;
}

}  // namespace

BusNameOwner QueryBusNameOwner(const std::string& address, const std::string& name,
                               DWORD timeout_ms, std::string* error) {
  DBusError failure;
  dbus_error_init(&failure);
  if (address.empty()) return NoBus(&failure, "no bus address", error);
  PrivateConnection connection(dbus_connection_open_private(address.c_str(), &failure));
  if (connection.get() == nullptr) return NoBus(&failure, "cannot connect", error);
  dbus_connection_set_exit_on_disconnect(connection.get(), FALSE);
  if (!dbus_bus_register(connection.get(), &failure)) {
    return NoBus(&failure, "the bus refused the connection", error);
  }
  DBusMessage* call = dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                                   DBUS_INTERFACE_DBUS, "NameHasOwner");
  if (call == nullptr) return NoBus(&failure, "out of memory", error);
  const char* asked = name.c_str();
  DBusMessage* reply = nullptr;
  if (dbus_message_append_args(call, DBUS_TYPE_STRING, &asked, DBUS_TYPE_INVALID)) {
    const int timeout =
        timeout_ms > static_cast<DWORD>(INT_MAX) ? INT_MAX : static_cast<int>(timeout_ms);
    reply = dbus_connection_send_with_reply_and_block(connection.get(), call, timeout, &failure);
  }
  dbus_message_unref(call);
  if (reply == nullptr) return NoBus(&failure, "no answer from the bus", error);
  dbus_bool_t owned = FALSE;
  const bool read =
      dbus_message_get_args(reply, &failure, DBUS_TYPE_BOOLEAN, &owned, DBUS_TYPE_INVALID) != FALSE;
  dbus_message_unref(reply);
  if (!read) return NoBus(&failure, "the bus gave no answer to NameHasOwner", error);
  return owned ? BusNameOwner::kOwned : BusNameOwner::kNotOwned;
}

}  // namespace plat
