#include "core/annexb.h"
#include "core/mp4_writer.h"

namespace krel {

StreamDescription makeSinkVideoType(const StreamDescription& encoderType, const std::vector<uint8_t>& keyFrame) {
    StreamDescription type = encoderType;
    // An existing configuration is used unchanged. AV1 carries no Annex-B
    // parameter sets, so there is nothing to take from its key frames.
    if (!type.extradata.empty() || type.codec == Codec::Av1 || type.codec == Codec::Aac) return type;
    type.extradata = extractParameterSets(keyFrame, type.codec == Codec::Hevc);
    return type;
}

} // namespace krel
