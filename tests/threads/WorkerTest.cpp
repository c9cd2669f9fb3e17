#include <gtest/gtest.h>

#include <QThread>
#include <atomic>
#include <vector>

#include "tests/common/WaitFor.h"
#include "threads/Worker.h"

namespace {

// What the worker reports of each call: more than Qt's own value types, so that it crosses the
// thread as a Handed value.
struct Entry {
    int value = 0;
    QString label;
    std::vector<int> valuesSoFar;
};

// A worker that records where and in which order its calls ran and reports each as a signal.
class Recorder : public QObject {
    Q_OBJECT
public:
    explicit Recorder(std::atomic<int>* finished) : finished_(finished) {}
    ~Recorder() override { destroyedOn = QThread::currentThread(); }

    void Add(int value) {
        values_.push_back(value);
        ranOn = QThread::currentThread();
        emit Added(threads::Handed<Entry>({value, QStringLiteral("#%1").arg(value), values_}));
    }
    int Count() const { return static_cast<int>(values_.size()); }
    void Finish() { finished_->fetch_add(1); }

    QThread* ranOn = nullptr;
    static inline QThread* destroyedOn = nullptr;

signals:
    void Added(const threads::Handed<Entry>& entry);

private:
    std::vector<int> values_;
    std::atomic<int>* finished_;
};

TEST(WorkerThread, callsRunInOrderOnTheWorkersThreadAndResultsComeBackQueued) {
    std::atomic<int> finished{0};
    std::vector<Entry> seen;
    {
        threads::WorkerThread<Recorder> worker(QStringLiteral("recorder"), &finished);
        QObject receiver;
        QObject::connect(worker.Worker(), &Recorder::Added, &receiver,
                         [&](const threads::Handed<Entry>& entry) {
                             EXPECT_EQ(QThread::currentThread(), receiver.thread());
                             seen.push_back(entry.Get());
                         });
        for (int i = 0; i < 100; ++i) worker.Post([i](Recorder& r) { r.Add(i); });
        EXPECT_EQ(worker.CallAndWait([](Recorder& r) { return r.Count(); }), 100);
        EXPECT_NE(worker.CallAndWait([](Recorder& r) { return r.ranOn; }),
                  QThread::currentThread());
        ASSERT_TRUE(testsupport::WaitUntil([&] { return seen.size() == 100; }));
        for (int i = 0; i < 100; ++i) {
            const Entry& entry = seen[static_cast<std::size_t>(i)];
            EXPECT_EQ(entry.value, i);
            EXPECT_EQ(entry.label, QStringLiteral("#%1").arg(i));
            ASSERT_EQ(entry.valuesSoFar.size(), static_cast<std::size_t>(i) + 1);
            EXPECT_EQ(entry.valuesSoFar.back(), i);
        }
    }
    // Stop let the worker finish once on its own thread and deleted it after the join, here.
    EXPECT_EQ(finished.load(), 1);
    EXPECT_EQ(Recorder::destroyedOn, QThread::currentThread());
}

TEST(WorkerThread, stopIsFinalAndACallToAGoneTargetIsDropped) {
    std::atomic<int> finished{0};
    threads::WorkerThread<Recorder> worker(QStringLiteral("recorder"), &finished);
    worker.Post([](Recorder& r) { r.Add(1); });
    worker.Stop();
    worker.Stop();
    EXPECT_FALSE(worker.Running());
    EXPECT_EQ(finished.load(), 1);
    worker.Post([](Recorder& r) { r.Add(2); });  // after Stop: nothing runs, nothing crashes

    auto target = std::make_unique<QObject>();
    bool ran = false;
    threads::Post(target.get(), [&ran] { ran = true; });
    target.reset();
    EXPECT_TRUE(testsupport::HoldsFor([&] { return !ran; }, std::chrono::milliseconds(50)));
}

}  // namespace

#include "WorkerTest.moc"
