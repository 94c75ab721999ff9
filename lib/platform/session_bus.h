// Questions to the user's session bus (D-Bus), on libdbus. Not part of libzervlib.so:
// the library zerv_session_bus carries it, so that only its users load libdbus.
#pragma once

#include <string>

#include "platform/types.h"

namespace plat {

enum class BusNameOwner {
  kOwned,     // the name has an owner
  kNotOwned,  // the bus answered: nobody owns it
  kNoBus,     // no bus at that address, or it did not answer
};

// Whether `name` has an owner on the bus at `address` (a D-Bus address, as
// DBUS_SESSION_BUS_ADDRESS holds it, e.g. "unix:path=/run/user/1000/bus"). A private
// connection is opened, asks once (waiting at most `timeout_ms` for the answer) and is
// closed. For kNoBus, `error` (may be null) gets the reason.
BusNameOwner QueryBusNameOwner(const std::string& address, const std::string& name,
                               DWORD timeout_ms, std::string* error);

}  // namespace plat
