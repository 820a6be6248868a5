// ScreenDataAssembler on arbitrary sequences of parts, and the document readers on what it assembles.
#include "FuzzSupport.h"
#include "protocol/messages/LargePayloads.h"

using namespace TrackpadProtocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_support::PartReader reader({data, size});
    ScreenDataAssembler assembler;
    while (auto part = reader.next()) {
        const bool valid = part->partCount >= 1 && part->partCount <= ScreenDataPart::maxParts &&
                           part->part < part->partCount && !part->bytes.empty() &&
                           part->bytes.size() <= ScreenDataPart::maxBytes;
        auto document = assembler.add(*part);
        fuzz_support::require(assembler.gatheredBytes() <= ScreenDataPart::maxDocumentBytes,
                              "bounded gathering");
        if (!valid)
            fuzz_support::require(!document && !assembler.isExpecting(), "an invalid part is refused");
        if (!document) continue;
        fuzz_support::require(!document->empty() && document->size() <= ScreenDataPart::maxDocumentBytes,
                              "document size");
        try {
            (void)Screenshot::decode(*document);
        } catch (const MessageCodec::DecodingError&) {
        }
        try {
            (void)ScreenVideoFrame::decode(*document);
        } catch (const MessageCodec::DecodingError&) {
        }
        try {
            (void)PresentationImageFile::decode(*document);
        } catch (const MessageCodec::DecodingError&) {
        }
    }
    return 0;
}
