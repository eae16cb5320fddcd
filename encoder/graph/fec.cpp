#include "fec.h"

namespace nerko {

// Placeholder until the FEC handler is built: answers no encoder.
GClosure *make_fec_request_closure(FecRequestContext *context) {
  return g_cclosure_new(G_CALLBACK(+[](GstElement *, guint, gpointer) -> GstElement * { return nullptr; }),
                        context, destroy_context_closure<FecRequestContext>);
}

}  // namespace nerko
