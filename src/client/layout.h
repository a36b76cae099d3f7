// The fixed-width answer layout: known answer fields padded to their widths and
// moved, in a fixed order, to the end of the text, which ends with a line feed.
#pragma once

#include "common/text.h"

// Rewrites text in place. Returns false, leaving text unchanged, when the result
// would not fit in the text's buffer.
bool ZELClient_FixedLayout(zel::TextRef text);
