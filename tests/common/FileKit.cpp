#include "common/FileKit.h"

#include "tonewright/SoundAlgoElementary.h"

namespace tk {

Frames readAll(SoundReader& reader, unsigned block) {
    auto buffer = SoundBuffer::createNew(reader.getSampleRate());
    buffer->alloc(block, 2);
    Frames out;
    for (;;) {
        const unsigned n = reader.stereoRead(buffer, 0);
        for (unsigned i = 0; i < n; ++i) out.push_back(*buffer->getRelStereoFrame(int(i)));
        if (n == 0 || reader.atEnd()) break;
    }
    return out;
}

std::unique_ptr<SoundReader> openReader(const QString& path) {
    std::unique_ptr<SoundReader> r(SoundReader::getFromFilename(path));
    if (!r || r->open(path) != SoundTools::Ok) return nullptr;
    return r;
}

SoundTools::Status writeThrough(SoundWriter& writer, const QString& path, const Frames& frames, unsigned rate,
                                unsigned block, const SoundIDTag* tags) {
    if (writer.open(path) != SoundTools::Ok) return SoundTools::Error;
    if (tags) writer.setTags(*tags);
    ScopedBlockSize size(block);
    MemoryReader reader(frames, rate);
    SoundAlgoBypass bypass;  // a run takes no reference: the stack object outlives it
    const SoundTools::Status status = bypass.processAll(reader, &writer);
    writer.close();
    return status;
}

bool writeFile(const QString& path, const Frames& frames, unsigned rate, SoundTools::SoundFormat format,
               const SoundIDTag* tags, unsigned kbps) {
    std::unique_ptr<SoundWriter> w(SoundWriter::getFromFilename(path, rate, kbps, format));
    return w && writeThrough(*w, path, frames, rate, 1024, tags) == SoundTools::Ok && !w->hasFailed();
}

std::string tagText(const SoundIDTag& t) {
    std::string s = "title=" + t.title + "\nartist=" + t.artist + "\nalbum=" + t.album + "\nyear=" + t.year +
                    "\ncomment=" + t.comment + "\ntrack=" + t.track + "\ntrackTotal=" + t.trackTotal +
                    "\ngenre=" + t.genre + "\ncover=" + t.cover.toHex().toStdString() + "\nmime=" + t.coverMimeType +
                    "\n";
    for (const auto& kv : t.extra) s += kv.first + "=" + kv.second + "\n";
    return s;
}

}  // namespace tk
