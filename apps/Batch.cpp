#include "Batch.h"

#include <QJsonArray>
#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "Cli.h"
#include "Progress.h"

namespace cli {

int runBatch(const QString& label, const QStringList& inputs, const FileWork& work, const BatchEnd& end) {
    const int n = int(inputs.size());
    std::vector<FileOutcome> outcomes(static_cast<size_t>(n));
    std::vector<bool> finished(size_t(n), false);
    std::mutex lock;
    int nextToPrint = 0;
    std::atomic<int> next{0};

    progress::begin(label, n);
    auto worker = [&]() {
        for (int i = next++; i < n; i = next++) {
            FileOutcome outcome;
            if (interrupted()) {
                outcome.interrupted = true;
            } else {
                outcome = work(i, inputs[i]);
                // A file cut short by a signal is not a failure of its own.
                if (!outcome.ok && interrupted()) outcome.interrupted = true;
            }
            progress::set(i, 1.0);
            std::lock_guard<std::mutex> guard(lock);
            outcomes[size_t(i)] = std::move(outcome);
            finished[size_t(i)] = true;
            // Text results keep the order of the inputs.
            while (nextToPrint < n && finished[size_t(nextToPrint)]) {
                const FileOutcome& o = outcomes[size_t(nextToPrint)];
                if (!options().json && o.ok && !o.text.isEmpty()) printOut(o.text);
                ++nextToPrint;
            }
        }
    };
    const int workers = std::max(1, std::min(options().jobs, n));
    if (workers == 1) {
        worker();
    } else {
        std::vector<std::thread> threads;
        for (int w = 0; w < workers; ++w) threads.emplace_back(worker);
        for (std::thread& t : threads) t.join();
    }
    progress::end();

    bool failed = false, stopped = false;
    std::vector<QJsonObject> results;
    for (const FileOutcome& o : outcomes) {
        failed |= (!o.ok && !o.interrupted) || o.partlyFailed;
        stopped |= o.interrupted;
        if (o.ok) results.push_back(o.json);
    }
    if (end && !results.empty() && !stopped) {
        QJsonValue json;
        if (results.size() == 1) {
            json = results[0];
        } else {
            QJsonArray array;
            for (const QJsonObject& o : results) array.append(o);
            json = array;
        }
        QString text;
        end(text, json);
        if (options().json)
            printJson(json);
        else if (!text.isEmpty())
            printOut(text);
    } else if (options().json && !results.empty()) {
        printJsonResults(results);
    }
    if (stopped) {
        printErr("tonewright: interrupted\n");
        return InterruptedExit;
    }
    return failed ? ProcessingError : Success;
}

}  // namespace cli
