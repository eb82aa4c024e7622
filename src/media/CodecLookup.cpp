#include "CodecLookup.h"

#include <algorithm>

namespace media {

namespace {

// Letter case is changed for ASCII letters only, so a name in another script is compared as
// it stands.
std::string upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; });
    return s;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
    return s;
}

bool beginsWithXvid(const std::string& name) {
    return upper(name).rfind("XVID", 0) == 0;
}

bool isXvidCodec(const std::string& name) {
    return name == "Xvid MPEG-4 Codec";
}

bool namesMp3(const std::string& name) {
    const std::string l = lower(name);
    return l.find("mpeg layer-3") != std::string::npos || l.find("lame mp3") != std::string::npos;
}

} // namespace

const TEncoderRule XvidByPrefix{&platform::dshow::CLSID_VideoCompressorCategory, beginsWithXvid,
                                "video compressor whose name begins with \"XVID\""};
const TEncoderRule XvidByName{&platform::dshow::CLSID_VideoCompressorCategory, isXvidCodec,
                              "video compressor named \"Xvid MPEG-4 Codec\""};
const TEncoderRule Mp3ByName{&platform::dshow::CLSID_AudioCompressorCategory, namesMp3,
                             "audio compressor whose name contains \"mpeg layer-3\" or "
                             "\"lame mp3\""};

int FindEncoderIndex(const std::vector<std::string>& friendlyNames, const TEncoderRule& rule) {
    const auto it = std::find_if(friendlyNames.begin(), friendlyNames.end(), rule.matches);
    if (it == friendlyNames.end())
        throw ECodecNotFound(std::string("No ") + rule.description + " is installed.");
    return int(it - friendlyNames.begin());
}

FilterPtr FindEncoder(const TEncoderRule& rule) {
    TSysDevEnum devices(*rule.category);
    std::vector<std::string> names;
    for (int i = 0; i < devices.Count(); ++i)
        names.push_back(devices.Item(i).FriendlyName);
    const int index = FindEncoderIndex(names, rule);
    FilterPtr filter = devices.GetBaseFilter(index);
    if (!filter)
        throw ECodecNotFound("The encoder \"" + names[size_t(index)] +
                             "\" is installed but could not be opened.");
    return filter;
}

} // namespace media
