// Umbrella header of the wavelet transform library.
#pragma once

#include "wavelet/border_mode.hpp"
#include "wavelet/error.hpp"
#include "wavelet/executor.hpp"
#include "wavelet/factories.hpp"
#include "wavelet/filters.hpp"
#include "wavelet/lifting.hpp"
#include "wavelet/completed_dwt_executor.hpp"
#include "wavelet/wavelet8taps.hpp"
