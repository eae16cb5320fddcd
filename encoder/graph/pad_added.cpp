#include "pad_added.h"

namespace nerko {

// Placeholder until the branch builder is built.
void on_pad_added(GstElement *, GstPad *, gpointer) {}

}  // namespace nerko
