// The ULPFEC encoder that rtpbin asks for through "request-fec-encoder".
#pragma once

#include <gst/gst.h>

#include "contexts.h"

namespace nerko {

// A closure for "request-fec-encoder" that owns `context` and frees it when
// the connection is destroyed.
GClosure *make_fec_request_closure(FecRequestContext *context);

}  // namespace nerko
