#pragma once
// Private to the library: a file as TagLib reads it through the patches of
// MetadataGuard (a skipped block renamed or hidden). Reading only: the view
// refuses writes, so that no patched byte can reach the file.
#include <taglib/tfilestream.h>
#include <taglib/tiostream.h>

#include "io/MetadataGuard.h"

class TagLibView : public TagLib::IOStream {
public:
    TagLibView(const QByteArray& localName, std::vector<MetadataGuard::Patch> patches)
        : mFile(localName.constData(), true), mPatches(std::move(patches)) {}

    TagLib::FileName name() const override { return mFile.name(); }
    TagLib::ByteVector readBlock(unsigned long length) override {
        const long at = mFile.tell();
        TagLib::ByteVector v = mFile.readBlock(length);
        if (!v.isEmpty()) MetadataGuard::applyPatches(mPatches, at, v.data(), v.size());
        return v;
    }
    void writeBlock(const TagLib::ByteVector&) override {}
    void insert(const TagLib::ByteVector&, unsigned long, unsigned long) override {}
    void removeBlock(unsigned long, unsigned long) override {}
    bool readOnly() const override { return true; }
    bool isOpen() const override { return mFile.isOpen(); }
    void seek(long offset, Position p) override { mFile.seek(offset, p); }
    void clear() override { mFile.clear(); }
    long tell() const override { return mFile.tell(); }
    long length() override { return mFile.length(); }
    void truncate(long) override {}

private:
    TagLib::FileStream mFile;
    std::vector<MetadataGuard::Patch> mPatches;
};
