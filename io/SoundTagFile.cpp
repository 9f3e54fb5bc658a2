// Tags of finished files through TagLib; see SoundTagFile.h for where each
// field goes in each format.
#include "tonewright/SoundTagFile.h"

#include "tonewright/SoundFileName.h"
#include "tonewright/SoundFormats.h"
#include "io/MetadataGuard.h"
#include "io/SoundTagFileComplete.h"
#include "io/TagLibView.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <memory>
#include <taglib/attachedpictureframe.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2header.h>
#include <taglib/id3v2tag.h>
#include <taglib/infotag.h>
#include <taglib/mpegfile.h>
#include <taglib/tpropertymap.h>
#include <taglib/vorbisfile.h>
#include <taglib/wavfile.h>
#include <taglib/xiphcomment.h>

namespace {

enum class Kind { None, Wav, Flac, Ogg, Mp3 };

Kind kindOf(const QString& fileName) {
    const tonewright::SoundFileFormat* format = tonewright::formatOfName(fileName);
    switch (format ? format->tags : tonewright::TagKind::None) {
        case tonewright::TagKind::RiffAndId3: return Kind::Wav;
        case tonewright::TagKind::FlacComment: return Kind::Flac;
        case tonewright::TagKind::OggComment: return Kind::Ogg;
        case tonewright::TagKind::Id3: return Kind::Mp3;
        case tonewright::TagKind::None: break;
    }
    return Kind::None;
}

// Why a file of no tag kind is refused: the format table's words for a name it
// refuses, else the formats that carry tags.
QString untaggable(const QString& fileName, const char* what) {
    const std::string refusal = tonewright::refusalOf(SoundTools::lowerExtension(fileName));
    if (!refusal.empty()) return fileName + ": " + QString::fromStdString(refusal);
    return fileName + ": " + what;
}

TagLib::String text(const std::string& s) { return TagLib::String(s, TagLib::String::UTF8); }
std::string text(const TagLib::String& s) { return s.to8Bit(true); }

// The record's fields as property names. With `splitTotal` the total goes to a
// TRACKTOTAL field of its own (Vorbis comments); otherwise TRACKNUMBER holds
// "N/T" (ID3v2 TRCK).
TagLib::PropertyMap toProperties(const SoundIDTag& tag, bool splitTotal) {
    TagLib::PropertyMap map;
    auto put = [&](const char* key, const std::string& value) {
        if (!value.empty()) map.replace(key, TagLib::StringList(text(value)));
    };
    put("TITLE", tag.title);
    put("ARTIST", tag.artist);
    put("ALBUM", tag.album);
    put("GENRE", tag.genre);
    put("DATE", tag.year);
    put("COMMENT", tag.comment);
    if (splitTotal) {
        put("TRACKNUMBER", tag.track);
        put("TRACKTOTAL", tag.trackTotal);
    } else if (!tag.track.empty()) {
        put("TRACKNUMBER", tag.trackTotal.empty() ? tag.track : tag.track + "/" + tag.trackTotal);
    }
    for (const auto& kv : tag.extra) put(QString::fromStdString(kv.first).toUpper().toUtf8().constData(), kv.second);
    return map;
}

void fromProperties(const TagLib::PropertyMap& map, SoundIDTag& tag) {
    auto first = [&](const char* key) {
        const auto it = map.find(key);
        return it == map.end() || it->second.isEmpty() ? std::string() : text(it->second.front());
    };
    auto fill = [&](std::string& field, const char* key) {
        if (field.empty()) field = first(key);
    };
    fill(tag.title, "TITLE");
    fill(tag.artist, "ARTIST");
    fill(tag.album, "ALBUM");
    fill(tag.genre, "GENRE");
    fill(tag.year, "DATE");
    fill(tag.comment, "COMMENT");
    fill(tag.comment, "DESCRIPTION");
    if (tag.track.empty()) {
        const std::string number = first("TRACKNUMBER");
        const size_t slash = number.find('/');
        tag.track = number.substr(0, slash);
        if (slash != std::string::npos && tag.trackTotal.empty()) tag.trackTotal = number.substr(slash + 1);
    }
    fill(tag.trackTotal, "TRACKTOTAL");
    fill(tag.trackTotal, "TOTALTRACKS");
    // SOFTWARE and ENCODER are the encoder's (libsndfile writes the comment given
    // to its writer there too), not fields of the recording.
    static const char* const kKnown[] = {"TITLE",       "ARTIST",     "ALBUM",      "GENRE",      "DATE",
                                         "COMMENT",     "DESCRIPTION", "TRACKNUMBER", "TRACKTOTAL", "TOTALTRACKS",
                                         "METADATA_BLOCK_PICTURE", "SOFTWARE", "ENCODER"};
    for (const auto& kv : map) {
        const std::string key = text(kv.first);
        bool known = false;
        for (const char* k : kKnown) known = known || key == k;
        if (!known && !kv.second.isEmpty() && tag.extra.count(key) == 0) tag.extra[key] = text(kv.second.front());
    }
}

// The front cover when there is one, else the first picture.
void coverFromId3(TagLib::ID3v2::Tag* id3, SoundIDTag& tag) {
    if (!id3) return;
    const TagLib::ID3v2::FrameList frames = id3->frameList("APIC");
    const TagLib::ID3v2::AttachedPictureFrame* chosen = nullptr;
    for (TagLib::ID3v2::Frame* f : frames) {
        auto* p = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame*>(f);
        if (p && (!chosen || p->type() == TagLib::ID3v2::AttachedPictureFrame::FrontCover)) chosen = p;
        if (chosen && chosen->type() == TagLib::ID3v2::AttachedPictureFrame::FrontCover) break;
    }
    if (!chosen) return;
    tag.cover = QByteArray(chosen->picture().data(), int(chosen->picture().size()));
    tag.coverMimeType = text(chosen->mimeType());
}

void coverFromPictures(const TagLib::List<TagLib::FLAC::Picture*>& pictures, SoundIDTag& tag) {
    const TagLib::FLAC::Picture* chosen = nullptr;
    for (const TagLib::FLAC::Picture* p : pictures)
        if (!chosen || (p->type() == TagLib::FLAC::Picture::FrontCover &&
                        chosen->type() != TagLib::FLAC::Picture::FrontCover))
            chosen = p;
    if (!chosen) return;
    tag.cover = QByteArray(chosen->data().data(), int(chosen->data().size()));
    tag.coverMimeType = text(chosen->mimeType());
}

void setId3(TagLib::ID3v2::Tag* id3, const SoundIDTag& tag) {
    id3->setProperties(toProperties(tag, false));
    id3->removeFrames("APIC");
    if (tag.cover.isEmpty()) return;
    auto picture = std::make_unique<TagLib::ID3v2::AttachedPictureFrame>();
    picture->setMimeType(text(tag.coverMimeType));
    picture->setDescription(TagLib::String("Cover"));
    picture->setType(TagLib::ID3v2::AttachedPictureFrame::FrontCover);
    picture->setPicture(TagLib::ByteVector(tag.cover.constData(), unsigned(tag.cover.size())));
    id3->addFrame(picture.release());  // the tag owns its frames
}

std::unique_ptr<TagLib::FLAC::Picture> flacPicture(const SoundIDTag& tag) {
    auto picture = std::make_unique<TagLib::FLAC::Picture>();
    picture->setType(TagLib::FLAC::Picture::FrontCover);
    picture->setMimeType(text(tag.coverMimeType));
    picture->setDescription(TagLib::String("Cover"));
    picture->setData(TagLib::ByteVector(tag.cover.constData(), unsigned(tag.cover.size())));
    return picture;
}

// The bytes of the picture block the record's cover becomes in a FLAC or Ogg
// file: type, MIME type, description ("Cover"), four numbers, the data.
int64_t pictureBlockBytes(const SoundIDTag& tag) { return 32 + int64_t(tag.coverMimeType.size()) + 5 + tag.cover.size(); }

// The record with its cover dropped, and a warning, when the cover is larger
// than the container holds: a FLAC picture block counts its length in 24
// bits (an Ogg file carries the same block, base64 in a comment, and its
// readers parse it as one); an ID3v2 tag counts its size in 28 bits. A cover
// past the limit would wrap the length and leave a file no reader opens.
SoundIDTag withCoverThatFits(const SoundIDTag& tag, Kind kind, const QString& fileName) {
    if (tag.cover.isEmpty()) return tag;
    const bool picture = kind == Kind::Flac || kind == Kind::Ogg;
    const int64_t bytes = picture ? pictureBlockBytes(tag) : int64_t(tag.cover.size()) + (int64_t(1) << 20);
    const int64_t limit = picture ? MetadataGuard::kMaxPictureBlockBytes : (int64_t(1) << 28) - 1;
    if (bytes <= limit) return tag;
    SoundIDTag fits = tag;
    fits.cover.clear();
    fits.coverMimeType.clear();
    SoundDebuggableClass::warn(QString("%1: cover picture of %2 left out: a %3 file holds a picture of at most %4")
                                   .arg(fileName, MetadataGuard::sizeText(tag.cover.size()),
                                        QFileInfo(fileName).suffix().toUpper(),
                                        MetadataGuard::sizeText(limit - (picture ? 37 : (int64_t(1) << 20)))),
                               "SoundTagFile::write");
    return fits;
}

// The RIFF INFO list holds only the basic fields, and its track field a plain number.
void setInfo(TagLib::RIFF::Info::Tag* info, const SoundIDTag& tag) {
    info->setTitle(text(tag.title));
    info->setArtist(text(tag.artist));
    info->setAlbum(text(tag.album));
    info->setGenre(text(tag.genre));
    info->setComment(text(tag.comment));
    info->setFieldText("ICRD", text(tag.year));
    info->setTrack(QString::fromStdString(tag.track).toUInt());
}

// The map with the named fields set, or removed when their value is empty.
void updated(TagLib::PropertyMap& map, const std::map<std::string, std::string>& fields) {
    for (const auto& kv : fields) {
        const TagLib::String key = text(QString::fromStdString(kv.first).toUpper().toStdString());
        if (kv.second.empty())
            map.erase(key);
        else
            map.replace(key, TagLib::StringList(text(kv.second)));
    }
}

void updateId3(TagLib::ID3v2::Tag* id3, const std::map<std::string, std::string>& fields) {
    TagLib::PropertyMap map = id3->properties();
    updated(map, fields);
    id3->setProperties(map);  // frames that are not properties (pictures, ...) stay
}

// True once the comment has the fields; false when there is no comment.
bool updateComment(TagLib::Ogg::XiphComment* comment, const std::map<std::string, std::string>& fields) {
    if (!comment) return false;
    TagLib::PropertyMap map = comment->properties();
    updated(map, fields);
    comment->setProperties(map);
    return true;
}

// ID3v2.3 tags stay 2.3; new tags and 2.4 ones are written as 2.4.
TagLib::ID3v2::Version id3Version(TagLib::ID3v2::Tag* id3) {
    return id3 && id3->header() && id3->header()->majorVersion() == 3 ? TagLib::ID3v2::v3 : TagLib::ID3v2::v4;
}

QString cannot(const char* what, const QString& fileName) {
    return QString("%1: cannot %2 the tags (the file is missing, not readable, or not a %3 file)")
        .arg(fileName, what, QFileInfo(fileName).suffix().toUpper());
}

// The end of a write: Ok, or Error with a message naming the file.
SoundTools::Status saved(bool ok, const QString& fileName) {
    if (ok) return SoundTools::Ok;
    SoundDebuggableClass::setError(cannot("write", fileName));
    return SoundTools::Error;
}

SoundTools::Status refused(const QString& fileName) {
    SoundDebuggableClass::setError(untaggable(fileName, "tags are written only to WAV, FLAC, Ogg Vorbis and MP3 files"));
    return SoundTools::Error;
}


// A file as TagLib reads it: through a view hiding the blocks too large (or
// too damaged) to read, when it has any.
struct Source {
    QByteArray local;
    MetadataGuard::Skips skips;
    std::unique_ptr<TagLibView> view;
    explicit Source(const QString& fileName)
        : local(QFile::encodeName(fileName)), skips(MetadataGuard::skipsOf(fileName)) {
        if (!skips.empty()) view = std::make_unique<TagLibView>(local, skips.patches);
    }
};

std::unique_ptr<TagLib::MPEG::File> mpegFile(const Source& s) {
    if (s.view) return std::make_unique<TagLib::MPEG::File>(s.view.get(), TagLib::ID3v2::FrameFactory::instance(), false);
    return std::make_unique<TagLib::MPEG::File>(s.local.constData(), false);
}
std::unique_ptr<TagLib::RIFF::WAV::File> wavFile(const Source& s) {
    if (s.view) return std::make_unique<TagLib::RIFF::WAV::File>(s.view.get(), false);
    return std::make_unique<TagLib::RIFF::WAV::File>(s.local.constData(), false);
}
std::unique_ptr<TagLib::FLAC::File> flacFile(const Source& s) {
    if (s.view) return std::make_unique<TagLib::FLAC::File>(s.view.get(), TagLib::ID3v2::FrameFactory::instance(), false);
    return std::make_unique<TagLib::FLAC::File>(s.local.constData(), false);
}

// Writing goes to the file itself: a WAV or MP3 file whose tags could not all
// be read is left as it was rather than rewritten around a block the tag layer
// would have to read whole. (A damaged FLAC picture is dropped by the rewrite.)
bool refusedForSkips(const Source& s, Kind kind, const QString& fileName) {
    if (s.skips.empty() || kind == Kind::Flac) return false;
    SoundDebuggableClass::setError(fileName + ": tags not written: " + s.skips.text() + "; the file is left as it was");
    return true;
}

SoundTools::Status writeTags(const QString& fileName, const SoundIDTag& record, bool keepOthers) {
    const Kind kind = kindOf(fileName);
    if (kind == Kind::None) return refused(fileName);
    const Source source(fileName);
    if (refusedForSkips(source, kind, fileName)) return SoundTools::Error;
    const SoundIDTag tag = withCoverThatFits(record, kind, fileName);
    // The fields the record gives over those the file holds, or instead of them.
    auto commentFields = [&](TagLib::Ogg::XiphComment* comment) {
        TagLib::PropertyMap map = keepOthers ? comment->properties() : TagLib::PropertyMap();
        const TagLib::PropertyMap given = toProperties(tag, true);
        for (const auto& kv : given) map.replace(kv.first, kv.second);
        comment->setProperties(map);
    };
    bool ok = false;
    switch (kind) {
        case Kind::Mp3: {
            const auto f = mpegFile(source);
            if (!f->isValid()) break;
            setId3(f->ID3v2Tag(true), tag);
            ok = f->save(TagLib::MPEG::File::ID3v2, TagLib::File::StripOthers, TagLib::ID3v2::v4);
            break;
        }
        case Kind::Wav: {
            const auto f = wavFile(source);
            if (!f->isValid()) break;
            setId3(f->ID3v2Tag(), tag);
            setInfo(f->InfoTag(), tag);
            ok = f->save(TagLib::RIFF::WAV::File::AllTags, TagLib::File::StripOthers, TagLib::ID3v2::v4);
            break;
        }
        case Kind::Flac: {
            const auto f = flacFile(source);
            if (!f->isValid()) break;
            commentFields(f->xiphComment(true));
            if (!keepOthers || !tag.cover.isEmpty()) f->removePictures();
            if (!tag.cover.isEmpty()) f->addPicture(flacPicture(tag).release());  // the file owns its pictures
            ok = f->save();
            break;
        }
        case Kind::Ogg: {
            TagLib::Ogg::Vorbis::File f(source.local.constData(), false);
            if (!f.isValid() || !f.tag()) break;
            commentFields(f.tag());
            if (!keepOthers || !tag.cover.isEmpty()) f.tag()->removeAllPictures();
            if (!tag.cover.isEmpty()) f.tag()->addPicture(flacPicture(tag).release());  // the comment owns it
            ok = f.save();
            break;
        }
        case Kind::None: break;
    }
    return saved(ok, fileName);
}

}  // namespace

bool SoundTagFile::isTaggable(const QString& fileName) { return kindOf(fileName) != Kind::None; }

SoundTools::Status SoundTagFile::read(const QString& fileName, SoundIDTag& tag) {
    tag = SoundIDTag();
    const Source source(fileName);
    if (!source.skips.empty()) warn(fileName + ": " + source.skips.text() + "; read without it", "SoundTagFile::read");
    bool ok = false;
    switch (kindOf(fileName)) {
        case Kind::Mp3: {
            const auto f = mpegFile(source);
            if (!(ok = f->isValid())) break;
            fromProperties(f->properties(), tag);
            if (f->hasID3v2Tag()) coverFromId3(f->ID3v2Tag(), tag);
            break;
        }
        case Kind::Wav: {
            const auto f = wavFile(source);
            if (!(ok = f->isValid())) break;
            if (f->hasID3v2Tag()) {
                fromProperties(f->ID3v2Tag()->properties(), tag);
                coverFromId3(f->ID3v2Tag(), tag);
            }
            if (f->hasInfoTag()) {
                // What the ID3 chunk does not say, the INFO list may.
                TagLib::RIFF::Info::Tag* info = f->InfoTag();
                auto fill = [](std::string& field, const TagLib::String& value) {
                    if (field.empty()) field = text(value);
                };
                fill(tag.title, info->title());
                fill(tag.artist, info->artist());
                fill(tag.album, info->album());
                fill(tag.genre, info->genre());
                fill(tag.comment, info->comment());
                fill(tag.year, info->fieldText("ICRD"));
                if (tag.track.empty() && info->track() > 0) tag.track = std::to_string(info->track());
            }
            break;
        }
        case Kind::Flac: {
            const auto f = flacFile(source);
            if (!(ok = f->isValid())) break;
            fromProperties(f->properties(), tag);
            coverFromPictures(f->pictureList(), tag);
            if (tag.cover.isEmpty() && f->hasXiphComment()) coverFromPictures(f->xiphComment()->pictureList(), tag);
            break;
        }
        case Kind::Ogg: {
            TagLib::Ogg::Vorbis::File f(source.local.constData(), false);
            if (!(ok = f.isValid())) break;
            fromProperties(f.properties(), tag);
            if (f.tag()) coverFromPictures(f.tag()->pictureList(), tag);
            break;
        }
        case Kind::None:
            setError(untaggable(fileName, "tags are read only from WAV, FLAC, Ogg Vorbis and MP3 files"));
            return SoundTools::Error;
    }
    if (!ok) {
        setError(cannot("read", fileName));
        return SoundTools::Error;
    }
    return SoundTools::Ok;
}

SoundTools::Status SoundTagFile::write(const QString& fileName, const SoundIDTag& tag) {
    return writeTags(fileName, tag, false);
}

SoundTools::Status SoundTagFileComplete::complete(const QString& fileName, const SoundIDTag& tag) {
    return writeTags(fileName, tag, true);
}

SoundTools::Status SoundTagFile::setFields(const QString& fileName, const std::map<std::string, std::string>& fields) {
    const Kind kind = kindOf(fileName);
    if (kind == Kind::None) return refused(fileName);
    const Source source(fileName);
    if (refusedForSkips(source, kind, fileName)) return SoundTools::Error;
    bool ok = false;
    if (kind == Kind::Mp3) {
        const auto f = mpegFile(source);
        if (f->isValid()) {
            const TagLib::ID3v2::Version version = id3Version(f->ID3v2Tag());
            updateId3(f->ID3v2Tag(true), fields);
            ok = f->save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone, version, TagLib::File::DoNotDuplicate);
        }
    } else if (kind == Kind::Wav) {
        const auto f = wavFile(source);
        if (f->isValid()) {
            const TagLib::ID3v2::Version version = f->hasID3v2Tag() ? id3Version(f->ID3v2Tag()) : TagLib::ID3v2::v4;
            updateId3(f->ID3v2Tag(), fields);
            ok = f->save(TagLib::RIFF::WAV::File::AllTags, TagLib::File::StripNone, version);
        }
    } else if (kind == Kind::Flac) {
        const auto f = flacFile(source);
        ok = f->isValid() && updateComment(f->xiphComment(true), fields) && f->save();
    } else {
        TagLib::Ogg::Vorbis::File f(source.local.constData(), false);
        ok = f.isValid() && updateComment(f.tag(), fields) && f.save();
    }
    return saved(ok, fileName);
}

std::string SoundTagFile::trackFromFileName(const QString& fileName) {
    // One to three digits, a run of separators, then the rest of the name.
    static const QRegularExpression leading("^0*([0-9]{1,3})(?:\\s*[-_.]\\s*|\\s+)\\S");
    const QString base = QFileInfo(fileName).completeBaseName();
    const QRegularExpressionMatch m = leading.match(base);
    if (!m.hasMatch()) return std::string();
    return m.captured(1).toStdString();
}
