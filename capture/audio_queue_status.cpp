#include "capture/audio_queue_status.h"

#include <cerrno>

#include "kivo/audio_queue_recorder.h"
#include "kivo/debug_log.h"
#include "kivo/format.h"
#include "kivo/log.h"

namespace kivo {
namespace {

struct StatusSymbol {
  int32_t status;
  const char* symbol;
};

constexpr StatusSymbol kSymbols[] = {
    {-66687, "kAudioQueueErr_InvalidBuffer"},
    {-66686, "kAudioQueueErr_BufferEmpty"},
    {-66685, "kAudioQueueErr_DisposalPending"},
    {-66684, "kAudioQueueErr_InvalidProperty"},
    {-66683, "kAudioQueueErr_InvalidPropertySize"},
    {-66682, "kAudioQueueErr_InvalidParameter"},
    {-66681, "kAudioQueueErr_CannotStart"},
    {-66680, "kAudioQueueErr_InvalidDevice"},
    {-66679, "kAudioQueueErr_BufferInQueue"},
    {-66678, "kAudioQueueErr_InvalidRunState"},
    {-66677, "kAudioQueueErr_InvalidQueueType"},
    {-66676, "kAudioQueueErr_Permissions"},
    {-66675, "kAudioQueueErr_InvalidPropertyValue"},
    {-66674, "kAudioQueueErr_PrimeTimedOut"},
    {-66673, "kAudioQueueErr_CodecNotFound"},
    {-66672, "kAudioQueueErr_InvalidCodecAccess"},
    {-66671, "kAudioQueueErr_QueueInvalidated"},
    {-66668, "kAudioQueueErr_RecordUnderrun"},
    {-66632, "kAudioQueueErr_EnqueueDuringReset"},
    {-66626, "kAudioQueueErr_InvalidOfflineMode"},
    {0x666D743F, "kAudioFormatUnsupportedDataFormatError"},
};

constexpr const char* kUnknown = "[KIVOAudioQueueRecorder] This is unknown error from Apple Core Audio Documentation";

}  // namespace

const char* capture::statusSymbol(int32_t status) {
  for (const auto& entry : kSymbols)
    if (entry.status == status) return entry.symbol;
  return kUnknown;
}

std::string KIVOAudioQueueRecorderStatToString(int32_t status) {
  const auto bits = uint32_t(status);
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i) {
    const char c = char((bits >> (24 - 8 * i)) & 0xFF);
    text[size_t(i)] = (c >= 0x20 && c < 0x7F) ? c : '.';  // bytes that are not printable ASCII show as '.'
  }
  return text;
}

void KIVOAudioQueueRecorderLogWithOSStatus(std::string_view message, int32_t status) {
  KIVODebugLog("[KIVOAudioQueueRecorder] %@ OSStatus %ld (%@)", message, status,
               KIVOAudioQueueRecorderStatToString(status));
  logLine(format("[KIVOAudioQueueRecorder] OSStatus with Symbol: %@", capture::statusSymbol(status)));
}

int32_t KIVOAudioQueueStatusFromCaptureError(int error) {
  switch (-error) {
    case ENOENT:
    case ENODEV:
    case ENXIO: return -66680;
    case EBUSY: return -66681;
    case EACCES:
    case EPERM: return -66676;
    case EINVAL: return -66682;
    case EPIPE: return -66668;
    case ESTRPIPE: return -66671;
    case EBADFD: return -66678;
    default: return error;
  }
}

}  // namespace kivo
