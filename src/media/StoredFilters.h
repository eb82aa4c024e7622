// The filters the recording windows keep in their forms, by their stored monikers, and the
// small helpers their graph steps share. User-interface thread.
#pragma once

#include "TBaseFilter.h"
#include "TFilterGraph.h"

#include <memory>

namespace media {

// The XviD codec among the video compressors.
inline constexpr const char* XvidName = "@device:cm:{33D9A760-90C8-11D0-BD43-00A0C911CE86}\\xvid";
// The "MPEG Layer-3" codec among the audio compressors.
inline constexpr const char* Mp3CompressorName =
    "@device:cm:{33D9A761-90C8-11D0-BD43-00A0C911CE86}\\85MPEG Layer-3";
// The MP3 encoder filter among the ordinary filters.
inline constexpr const char* Mp3EncoderName =
    "@device:sw:{083863F1-70DE-11D0-BD40-00A0C911CE86}\\{B8D27088-FF5F-4B7C-98DC-0E91A1696286}";
// The asynchronous file source among the ordinary filters.
inline constexpr const char* FileSourceName =
    "@device:sw:{083863F1-70DE-11D0-BD40-00A0C911CE86}\\{E436EBB5-524F-11CE-9F53-0020AF0BA770}";

// The AVI/WAV file source among the ordinary filters: a file's streams, split apart.
inline constexpr const char* AviWavSourceName =
    "@device:sw:{083863F1-70DE-11D0-BD40-00A0C911CE86}\\{D3588AB0-0781-11CE-B03A-0020AF0BA770}";

inline void setStoredName(TFilter& f, const char* displayName) {
    f.BaseFilter.setMoniker(std::make_shared<TMoniker>(TMoniker{displayName}));
}

// Runs a graph call that raises on failure and gives its result instead, so the steps that
// may fail can be told apart.
template <class F> HRESULT attempt(F&& f) {
    try {
        return f();
    } catch (const EDirectShowException& e) {
        return e.ErrorCode;
    }
}

} // namespace media
