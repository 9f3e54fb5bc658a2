#include "jobs/JobContext.h"

#include "jobs/InputTags.h"

#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>

#include "core/ThreadError.h"
#include "tonewright/SoundAlgo.h"
#include "tonewright/SoundDebuggableClass.h"
#include "tonewright/SoundFormats.h"
#include "tonewright/SoundSndfile.h"
#include "tonewright/SoundUnits.h"

namespace tonewright {

std::string JobError::message() const {
    std::string m = file;
    for (const std::string* part : {&what, &cause}) {
        if (part->empty()) continue;
        if (!m.empty()) m += ": ";
        m += *part;
    }
    return m;
}

double JobProgress::fraction() const {
    const int n = std::max(1, passes);
    const double inPass = total > 0 ? std::min(1.0, double(done) / double(total)) : 0.0;
    return std::min(1.0, (double(pass) + inPass) / double(n));
}

namespace detail {

QString qstr(const std::string& utf8) { return QString::fromStdString(utf8); }
QString qpath(const std::filesystem::path& path) { return QFile::decodeName(QByteArray::fromStdString(path.native())); }
std::filesystem::path fspath(const QString& name) { return QFile::encodeName(name).toStdString(); }
std::string str(const QString& text) { return text.toStdString(); }

JobError badSetting(const char* name, const QString& what) {
    JobError e;
    e.kind = JobError::Kind::Setting;
    e.file = name;
    e.what = str(what);
    return e;
}

JobContext::JobContext(const JobControl& control, int passes)
    : mProgress(control.progress), mWarning(control.warning), mOverwrite(control.overwrite), mPasses(passes > 0 ? passes : 1) {
    for (const std::filesystem::path& p : control.otherInputs) mInputs.push_back(qpath(p));
}

void JobContext::addInputs(const QStringList& inputs) {
    for (const QString& i : inputs) mInputs.push_back(i);
}

bool JobContext::fail(JobError::Kind kind, const QString& file, const QString& what, const QString& cause) {
    if (mFailed) return false;
    mFailed = true;
    mError.kind = mCancelled ? JobError::Kind::Cancelled : kind;
    mError.file = str(file);
    if (mCancelled) {
        mError.what = "cancelled";
        return false;
    }
    mError.what = str(what);
    QString c = cause;
    // The file is written under a temporary name: the user knows it by its own.
    static const QRegularExpression temporary(QString("[^\\s:]*") +
                                              QRegularExpression::escape(SoundOutputFile::temporaryPrefix()) +
                                              "\\d+-\\d+(?:\\.[A-Za-z0-9]+)?");
    if (!file.isEmpty()) c.replace(temporary, file);
    // Library messages often start with the file's name; it is said already.
    for (const QString& lead : {file + " : ", file + ": "})
        if (!file.isEmpty() && c.startsWith(lead)) c = c.mid(lead.size());
    mError.cause = str(c.trimmed());
    return false;
}

void JobContext::warn(const QString& file, const QString& what) {
    mWarnings.push_back(str(file.isEmpty() ? what.trimmed() : file + ": " + what.trimmed()));
    if (mWarning) mWarning(mWarnings.back());
}

bool JobContext::report(int64_t done, int64_t total) {
    if (mCancelled) return false;
    if (!mProgress) return true;
    JobProgress p;
    p.done = done;
    p.total = total;
    p.pass = mPass;
    p.passes = mPasses;
    if (!mProgress(p)) mCancelled = true;
    return !mCancelled;
}

void clearError() { SoundTools::detail::clearThreadError(); }

QString lastError() {
    QString text = SoundTools::detail::threadError();
    // The library names the failing class or function before its message; the
    // user needs the message.
    static const QRegularExpression who("^\\s*(?:Sound\\w*|RMSStepDetector|FFTA\\w*|Utilities)(?:::\\w+)*\\s*:\\s*");
    for (;;) {
        const QRegularExpressionMatch m = who.match(text);
        if (!m.hasMatch()) break;
        text = text.mid(m.capturedLength());
    }
    return text.trimmed();
}

std::unique_ptr<SoundReader> openReader(const QString& name, JobContext* ctx) {
    std::unique_ptr<SoundReader> reader = openRecording(name);
    if (reader && ctx && reader->getFileChannelNum() > 2)
        ctx->warn(name, QString::fromStdString(mixDownNote(reader->getFileChannelNum())));
    return reader;
}

unsigned outputChannels(const SoundReader& source) { return source.getFileChannelNum() == 1 ? 1u : 2u; }

bool mayWrite(const JobContext& ctx, const QString& output, const QString& input) {
    QString why;
    if (SoundOutputFile::mayWrite(output, input, ctx.inputs(), ctx.overwrite(), &why)) return true;
    SoundDebuggableClass::setError(why);
    return false;
}

std::unique_ptr<SoundWriter> openWriter(const JobContext& ctx, const QString& name, unsigned rate,
                                        SoundTools::SoundFormat format, unsigned bitRate, unsigned channels,
                                        int64_t frames) {
    clearError();
    if (!mayWrite(ctx, name)) return nullptr;
    std::unique_ptr<SoundWriter> writer(SoundWriter::getFromFilename(name, rate, bitRate, format, channels));
    if (!writer || !isWritableExtension(QFileInfo(name).suffix())) {
        const std::string refusal = refusalOf(str(QFileInfo(name).suffix()));
        SoundDebuggableClass::setError(refusal.empty() ? "no writer for this file name (use " + writableExtensions() + ")"
                                                       : qstr(refusal));
        return nullptr;
    }
    // A WAV output of more than 4 GiB is written as RF64.
    if (auto* sndfile = dynamic_cast<SoundWriterSndfile*>(writer.get())) sndfile->setExpectedFrames(frames);
    if (writer->open(name) != SoundTools::Ok) return nullptr;
    return writer;
}

bool isWritableExtension(const QString& extension) { return tonewright::isWritableExtension(str(extension)); }

QString writableExtensions() { return qstr(tonewright::writableExtensions()); }

SoundTools::SoundFormat formatFor(const QString& extension, SoundTools::SoundFormat source) {
    return sampleFormatFor(str(extension), source);
}

bool runPass(JobContext& ctx, SoundAlgo& chain, SoundReader& reader, SoundWriter* writer, const QString& output,
             const QString& doing) {
    SoundTools::Status status;
    {
        SoundAlgo* target = &chain;
        JobContext* c = &ctx;
        // Runs on the thread of the loop (a direct connection): a cancellation
        // stops the pass at the end of the current block.
        const QMetaObject::Connection connection =
            QObject::connect(target, &SoundAlgo::notifyInProgress, [target, c](unsigned done, unsigned total) {
                if (!c->report(int64_t(done), int64_t(total))) target->pleaseStop();
            });
        clearError();
        if (!ctx.report(0, 0)) {
            QObject::disconnect(connection);
            if (writer) writer->close();
            return ctx.fail(JobError::Kind::Cancelled, output, "cancelled");
        }
        status = chain.processAll(reader, writer);
        QObject::disconnect(connection);
    }
    if (writer) writer->close();
    if (status == SoundTools::Ok && !(writer && writer->hasFailed())) {
        ctx.setPass(ctx.pass() + 1);
        return true;
    }
    if (status == SoundTools::Interrupted || ctx.cancelled())
        return ctx.fail(JobError::Kind::Cancelled, output, "cancelled");
    return ctx.fail(JobError::Kind::Processing, output, "cannot " + doing, lastError());
}

bool openPass(JobContext& ctx, const QString& input, const QString& output, unsigned bitRate,
              std::unique_ptr<SoundReader>& reader, std::unique_ptr<SoundOutputFile>& file,
              std::unique_ptr<SoundWriter>& writer, SoundIDTag* tag) {
    writer.reset();
    reader = openReader(input, &ctx);
    if (!reader) return ctx.fail(JobError::Kind::Input, input, "cannot read", lastError());
    file = std::make_unique<SoundOutputFile>(output);
    if (file->ok())
        writer = openWriter(ctx, file->path(), reader->getSampleRate(),
                            formatFor(QFileInfo(output).suffix(), reader->getInputFormat()), bitRate,
                            outputChannels(*reader), reader->getFrameNB());
    if (!writer) return ctx.fail(JobError::Kind::Output, output, "cannot write", lastError());
    SoundIDTag own;
    SoundIDTag& t = tag ? *tag : own;
    t = outputTags(input, *reader);
    if (!t.isEmpty()) writer->setTags(t);
    return true;
}

bool commit(JobContext& ctx, SoundOutputFile& file) {
    clearError();
    if (file.commit(ctx.overwrite())) return true;
    return ctx.fail(JobError::Kind::Output, file.finalName(), "cannot write", lastError());
}

double roundDb(double db) {
    if (!std::isfinite(db) || db < -100.0) return -100.0;
    return std::round(db * 100.0) / 100.0;
}

double roundSeconds(double seconds) { return std::round(seconds * 1000.0) / 1000.0; }

QString formatTime(double seconds) { return QString::fromStdString(SoundTools::timeText(seconds)); }

}  // namespace detail
}  // namespace tonewright
