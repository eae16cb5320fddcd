// Signal connection that reports failure as an error value.
#pragma once

#include <glib-object.h>

#include "encoder/control/encoder_error.h"

namespace nerko {

// Connects `closure` to `signal` of `instance` (an ordinary connection, run
// before the default handler). The closure is taken over in every case: when
// the connection fails it is released at once, and with it the context its
// destroy notification frees. On success `handler_id` (if given) receives the
// connection's id.
Status connect_signal_checked(gpointer instance, const char *signal, GClosure *closure,
                              gulong *handler_id = nullptr);

}  // namespace nerko
