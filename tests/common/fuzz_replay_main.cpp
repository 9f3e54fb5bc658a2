// A main for a fuzz target outside libFuzzer: runs the target's entry point once
// on each file named on the command line, as the fuzzer does with a corpus, so
// that the ordinary (and the sanitizer) builds replay the corpus.
#include <QCoreApplication>
#include <QFile>
#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    for (int i = 1; i < argc; ++i) {
        QFile f(QString::fromLocal8Bit(argv[i]));
        if (!f.open(QIODevice::ReadOnly)) return std::fprintf(stderr, "cannot read %s\n", argv[i]), 2;
        const QByteArray bytes = f.readAll();
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size()));
    }
    std::printf("replayed %d\n", argc - 1);
}
