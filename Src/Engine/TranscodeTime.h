// The time base of the engine's clocks: microseconds.
#pragma once

extern "C" {
#include <libavutil/avutil.h>
}

namespace qm {

constexpr AVRational MicrosecondBase{1, AV_TIME_BASE};

} // namespace qm
