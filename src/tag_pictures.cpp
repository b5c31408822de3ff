#include "tag_pictures.h"

extern "C" {
#include <libavformat/avio.h>
}

#include <taglib/aifffile.h>
#include <taglib/apefile.h>
#include <taglib/apetag.h>
#include <taglib/asffile.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/fileref.h>
#include <taglib/flacfile.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mpcfile.h>
#include <taglib/mpegfile.h>
#include <taglib/taglib.h>
#include <taglib/tiostream.h>
#include <taglib/trueaudiofile.h>
#include <taglib/wavfile.h>
#include <taglib/wavpackfile.h>
#include <taglib/xiphcomment.h>

#include <algorithm>
#include <cstdint>
#include <string>

namespace {

// TagLib 2 counts in 64 bits where 1.x counts in longs.
#if TAGLIB_MAJOR_VERSION >= 2
using Offset = TagLib::offset_t;
using BlockStart = TagLib::offset_t;
using Size = std::size_t;
#else
using Offset = long;
using BlockStart = unsigned long;
using Size = unsigned long;
#endif

// A read-only TagLib stream over the extractor's own input, so that TagLib's reads pass its guard.
class GuardedStream : public TagLib::IOStream {
  public:
    GuardedStream(AVIOContext *source, const char *name, std::int64_t length)
        : source_(source), name_(name), length_(length)
    {
    }

    TagLib::FileName name() const override { return name_.c_str(); }
    TagLib::ByteVector readBlock(Size length) override
    {
        const std::int64_t left = std::max<std::int64_t>(0, length_ - avio_tell(source_));
        const int wanted = static_cast<int>(std::min<std::int64_t>({static_cast<std::int64_t>(length), left, std::int64_t(1) << 30}));
        TagLib::ByteVector block(static_cast<unsigned int>(wanted), '\0');
        const int got = wanted > 0 ? avio_read(source_, reinterpret_cast<unsigned char *>(block.data()), wanted) : 0;
        block.resize(static_cast<unsigned int>(std::max(got, 0)));
        return block;
    }
    void writeBlock(const TagLib::ByteVector &) override {}
    void insert(const TagLib::ByteVector &, BlockStart, Size) override {}
    void removeBlock(BlockStart, Size) override {}
    bool readOnly() const override { return true; }
    bool isOpen() const override { return true; }
    void seek(Offset offset, Position from) override
    {
        const std::int64_t base = from == Beginning ? 0 : from == Current ? avio_tell(source_) : length_;
        avio_seek(source_, std::clamp<std::int64_t>(base + offset, 0, length_), SEEK_SET);
    }
    Offset tell() const override { return static_cast<Offset>(avio_tell(source_)); }
    Offset length() override { return static_cast<Offset>(length_); }
    void truncate(Offset) override {}

  private:
    AVIOContext *const source_;
    const std::string name_;
    const std::int64_t length_;
};

std::string bytes_of(const TagLib::ByteVector &data) { return std::string(data.data(), data.size()); }

void add_id3v2(TagLib::ID3v2::Tag *tag, std::vector<TagPicture> *pictures)
{
    if (!tag)
        return;
    for (TagLib::ID3v2::Frame *frame : tag->frameList("APIC"))
        if (auto *picture = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame *>(frame))
            pictures->push_back({bytes_of(picture->picture()),
                                 picture->type() == TagLib::ID3v2::AttachedPictureFrame::FrontCover});
}

// An APEv2 cover item holds a file name, a NUL, then the picture.
void add_ape(TagLib::APE::Tag *tag, bool at_end, std::vector<TagPicture> *pictures)
{
    if (!tag)
        return;
    for (const auto &entry : tag->itemListMap()) {
        const TagLib::APE::Item &item = entry.second;
        if (item.type() != TagLib::APE::Item::Binary || !entry.first.upper().startsWith("COVER ART"))
            continue;
        const TagLib::ByteVector data = item.binaryData();
        const int name_end = data.find('\0');
        if (name_end >= 0)
            pictures->push_back({bytes_of(data.mid(static_cast<unsigned int>(name_end) + 1)),
                                 entry.first.upper() == "COVER ART (FRONT)", at_end});
    }
}

void add_flac_pictures(const TagLib::List<TagLib::FLAC::Picture *> &list, std::vector<TagPicture> *pictures)
{
    for (const TagLib::FLAC::Picture *picture : list)
        pictures->push_back({bytes_of(picture->data()), picture->type() == TagLib::FLAC::Picture::FrontCover});
}

void add_pictures_of(TagLib::File *file, std::vector<TagPicture> *pictures)
{
    using namespace TagLib;
    if (auto *mpeg = dynamic_cast<MPEG::File *>(file)) {
        add_id3v2(mpeg->hasID3v2Tag() ? mpeg->ID3v2Tag() : nullptr, pictures);
        add_ape(mpeg->hasAPETag() ? mpeg->APETag() : nullptr, true, pictures);
    } else if (auto *flac = dynamic_cast<FLAC::File *>(file)) {
        add_id3v2(flac->hasID3v2Tag() ? flac->ID3v2Tag() : nullptr, pictures);
        add_flac_pictures(flac->pictureList(), pictures);
    } else if (auto *comment = dynamic_cast<Ogg::XiphComment *>(file->tag())) {
        add_flac_pictures(comment->pictureList(), pictures);
    } else if (auto *mp4 = dynamic_cast<MP4::File *>(file)) {
        if (MP4::Tag *tag = mp4->tag())
            for (const MP4::CoverArt &cover : tag->item("covr").toCoverArtList())
                pictures->push_back({bytes_of(cover.data())});
    } else if (auto *asf = dynamic_cast<ASF::File *>(file)) {
        const ASF::Tag *tag = asf->tag();
        const ASF::AttributeListMap &attributes = tag->attributeListMap();
        if (attributes.contains("WM/Picture"))
            for (const ASF::Attribute &attribute : attributes["WM/Picture"]) {
                const ASF::Picture picture = attribute.toPicture();
                if (picture.isValid())
                    pictures->push_back({bytes_of(picture.picture()), picture.type() == ASF::Picture::FrontCover});
            }
    } else if (auto *wav = dynamic_cast<RIFF::WAV::File *>(file)) {
        add_id3v2(wav->hasID3v2Tag() ? wav->ID3v2Tag() : nullptr, pictures);
    } else if (auto *aiff = dynamic_cast<RIFF::AIFF::File *>(file)) {
        add_id3v2(aiff->hasID3v2Tag() ? aiff->tag() : nullptr, pictures);
    } else if (auto *tta = dynamic_cast<TrueAudio::File *>(file)) {
        add_id3v2(tta->hasID3v2Tag() ? tta->ID3v2Tag() : nullptr, pictures);
    } else if (auto *ape = dynamic_cast<APE::File *>(file)) {
        add_ape(ape->hasAPETag() ? ape->APETag() : nullptr, true, pictures);
    } else if (auto *wavpack = dynamic_cast<WavPack::File *>(file)) {
        add_ape(wavpack->hasAPETag() ? wavpack->APETag() : nullptr, true, pictures);
    } else if (auto *mpc = dynamic_cast<MPC::File *>(file)) {
        add_ape(mpc->hasAPETag() ? mpc->APETag() : nullptr, true, pictures);
    }
}

}  // namespace

std::vector<TagPicture> pictures_in_tags(AVIOContext *source, const char *name)
{
    std::vector<TagPicture> pictures;
    const std::int64_t length = avio_size(source);
    if (length <= 0 || avio_seek(source, 0, SEEK_SET) < 0)
        return pictures;
    GuardedStream stream(source, name, length);
    const TagLib::FileRef file(&stream, false);
    if (!file.isNull())
        add_pictures_of(file.file(), &pictures);
    return pictures;
}
