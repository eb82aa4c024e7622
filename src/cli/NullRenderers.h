// The renderer that shows nothing, as the subcommands that read files use it.
#pragma once

#include "media/NullRenderers.h"

namespace cli {

using namespace platform::dshow;
using media::NullRendererProvider;

} // namespace cli
