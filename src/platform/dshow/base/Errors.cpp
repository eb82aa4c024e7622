// Result codes: the GUIDs the interfaces name, our texts for result codes, and the result code
// for an error a GStreamer element reports. Called on any thread.
#include "platform/dshow/base/DShow.h"
#include "platform/dshow/base/Filters.h"

#include <cstdio>

#include <sys/stat.h>

namespace platform::dshow {

const GUID GUID_NULL{};
const GUID MEDIATYPE_Video{
    0x73646976, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
const GUID MEDIATYPE_Audio{
    0x73647561, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
const GUID MEDIATYPE_Stream{
    0xE436EB83, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
const GUID MEDIASUBTYPE_Avi{
    0xE436EB88, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
const GUID PIN_CATEGORY_CAPTURE{
    0xFB6C4281, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
const GUID PIN_CATEGORY_PREVIEW{
    0xFB6C4282, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
const GUID CLSID_VideoRenderer{
    0x70E102B0, 0x5556, 0x11CE, {0x97, 0xC0, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
const GUID CLSID_DSoundRender{
    0x79376820, 0x07D0, 0x11CF, {0xA2, 0x4D, 0x00, 0x20, 0xAF, 0xD7, 0x97, 0x67}};
const GUID CLSID_SampleGrabber{
    0xC1F400A0, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};
const GUID CLSID_NullRenderer{
    0xC1F400A4, 0x3F08, 0x11D3, {0x9F, 0x0B, 0x00, 0x60, 0x08, 0x03, 0x9E, 0x37}};

std::string graphErrorText(HRESULT h) {
    switch (h) {
    case S_OK:
        return "The operation completed successfully.";
    case S_FALSE:
        return "The operation completed, but not everything was done.";
    case E_NOTIMPL:
        return "This operation is not available for this graph.";
    case E_NOINTERFACE:
        return "The object does not offer the requested interface.";
    case E_POINTER:
        return "A required object was missing.";
    case E_ABORT:
        return "The operation was stopped before it completed.";
    case E_FAIL:
        return "The media operation failed.";
    case E_UNEXPECTED:
        return "The media operation failed unexpectedly.";
    case E_OUTOFMEMORY:
        return "There is not enough memory for this operation.";
    case E_INVALIDARG:
        return "A value given to the media operation is not valid.";
    case E_FILE_NOT_FOUND:
        return "The file cannot be found.";
    case E_NAME_IS_FOLDER:
        return "The name is a folder, not a media file.";
    case E_NAME_IS_PIPE:
        return "The name is a pipe, not a media file.";
    case E_NAME_NOT_REGULAR:
        return "The name is a device or a socket, not a regular file.";
    case E_ACCESSDENIED:
        return "The file cannot be opened: access is denied.";
    case VFW_E_INVALIDMEDIATYPE:
        return "The media type is not valid for this pin.";
    case VFW_E_ALREADY_CONNECTED:
        return "The pin is already connected.";
    case VFW_E_NOT_CONNECTED:
        return "The pin is not connected.";
    case VFW_E_NOT_FOUND:
        return "The requested object was not found in the graph.";
    case VFW_E_CANNOT_CONNECT:
        return "No combination of filters could be found to make the connection.";
    case VFW_E_CANNOT_RENDER:
        return "No combination of filters could be found to render the stream.";
    case VFW_E_NOT_STOPPED:
        return "The operation needs the graph to be stopped.";
    case VFW_E_WRONG_STATE:
        return "The operation cannot be done in the graph's current state.";
    case VFW_E_TIMEOUT:
        return "The media operation timed out.";
    case VFW_E_INVALID_FILE_FORMAT:
        return "The file is empty or its format is not valid.";
    case VFW_E_UNKNOWN_FILE_TYPE:
        return "The file's media type is not recognised.";
    case VFW_E_NO_AUDIO_HARDWARE:
        return "No audio output could be opened.";
    case VFW_E_UNSUPPORTED_STREAM:
        return "The file holds a stream that no installed decoder can play.";
    case VFW_E_DEVICE_BUSY:
        return "The capture device is busy: another program is using it.";
    case VFW_E_DEVICE_LOST:
        return "The capture device was lost while recording.";
    case VFW_E_DVD_RENDERFAIL:
        return "The DVD could not be played: no DVD graph could be built.";
    case VFW_E_DVD_OPERATION_INHIBITED:
        return "This DVD operation is not allowed by the disc at this point.";
    case VFW_E_DVD_INVALIDDOMAIN:
        return "This DVD operation is not allowed in the current domain (menu or title).";
    case VFW_E_DVD_NO_BUTTON:
        return "There is no DVD menu button at this position.";
    case VFW_E_DVD_GRAPHNOTREADY:
        return "The DVD graph is not built yet.";
    case VFW_E_DVD_STATE_CORRUPT:
        return "The DVD bookmark is corrupt or not a bookmark of this program.";
    case VFW_E_DVD_STATE_WRONG_DISC:
        return "The DVD bookmark belongs to another disc.";
    case VFW_S_STATE_INTERMEDIATE:
        return "The graph is still changing state.";
    case VFW_S_PARTIAL_RENDER:
        return "Some of the streams in this file could not be played.";
    }
    char text[96];
    std::snprintf(text, sizeof text, "Media operation failed with code 0x%08X.", uint32_t(h));
    return text;
}

HRESULT mediaFileNameError(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return E_FILE_NOT_FOUND;
    if (S_ISREG(st.st_mode)) return S_OK;
    if (S_ISDIR(st.st_mode)) return E_NAME_IS_FOLDER;
    if (S_ISFIFO(st.st_mode)) return E_NAME_IS_PIPE;
    return E_NAME_NOT_REGULAR;
}

HRESULT hresultOfError(const GError* e, bool fromSource, bool running) {
    if (!e) return E_FAIL;
    // A capture device: busy when it cannot start, lost when it fails while delivering.
    if (fromSource && e->domain == GST_RESOURCE_ERROR) {
        if (e->code == GST_RESOURCE_ERROR_BUSY) return VFW_E_DEVICE_BUSY;
        if (running && e->code != GST_RESOURCE_ERROR_NOT_FOUND) return VFW_E_DEVICE_LOST;
    }
    if (e->domain == GST_RESOURCE_ERROR) {
        switch (e->code) {
        case GST_RESOURCE_ERROR_NOT_FOUND:
            return E_FILE_NOT_FOUND;
        case GST_RESOURCE_ERROR_OPEN_READ:
        case GST_RESOURCE_ERROR_OPEN_READ_WRITE:
        case GST_RESOURCE_ERROR_OPEN_WRITE:
        case GST_RESOURCE_ERROR_NOT_AUTHORIZED:
            return E_ACCESSDENIED;
        case GST_RESOURCE_ERROR_BUSY:
            return VFW_E_NO_AUDIO_HARDWARE;
        default:
            return E_FAIL;
        }
    }
    if (e->domain == GST_STREAM_ERROR) {
        switch (e->code) {
        case GST_STREAM_ERROR_TYPE_NOT_FOUND:
            return VFW_E_UNKNOWN_FILE_TYPE;
        case GST_STREAM_ERROR_CODEC_NOT_FOUND:
        case GST_STREAM_ERROR_WRONG_TYPE:
            return VFW_E_UNSUPPORTED_STREAM;
        case GST_STREAM_ERROR_DEMUX:
        case GST_STREAM_ERROR_DECODE:
        case GST_STREAM_ERROR_FORMAT:
            return VFW_E_INVALID_FILE_FORMAT;
        case GST_STREAM_ERROR_NOT_IMPLEMENTED:
            return E_NOTIMPL;
        default:
            return E_FAIL;
        }
    }
    if (e->domain == GST_CORE_ERROR && e->code == GST_CORE_ERROR_MISSING_PLUGIN)
        return VFW_E_UNSUPPORTED_STREAM;
    if (e->domain == GST_CORE_ERROR && e->code == GST_CORE_ERROR_NEGOTIATION)
        return VFW_E_CANNOT_CONNECT;
    return E_FAIL;
}

} // namespace platform::dshow
