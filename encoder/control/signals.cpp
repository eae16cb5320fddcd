#include "encoder/control/signals.h"

#include <string>

namespace nerko {

Status connect_signal_checked(gpointer instance, const char *signal, GClosure *closure,
                              gulong *handler_id) {
  // Own the closure for the duration of the call, so a refused connection
  // still finalises it (and frees its context) when we let go.
  g_closure_ref(closure);
  g_closure_sink(closure);
  const std::string type_name = G_OBJECT_TYPE_NAME(instance);
  Status status;
  guint id = g_signal_lookup(signal, G_OBJECT_TYPE(instance));
  if (id == 0) {
    status = EncoderError::library(std::string("Signal '") + signal + "' of type '" + type_name +
                                   "' not found");
  } else {
    gulong handler = g_signal_connect_closure_by_id(instance, id, 0, closure, FALSE);
    if (handler == 0)
      status = EncoderError::library(std::string("Failed to connect to signal '") + signal +
                                     "' of type '" + type_name + "'");
    else if (handler_id)
      *handler_id = handler;
  }
  g_closure_unref(closure);
  return status;
}

}  // namespace nerko
