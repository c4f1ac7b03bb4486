// Browses one OPC UA server on a thread of its own, one branch at a time, so that the window
// never waits for the server. The library handle and its source live on that thread; answers
// wait in a mutex-guarded hand-off that a timer of the owner's thread takes and emits as
// signals.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include <QObject>
#include <QString>

#include "korrin/opc_library.h"
#include "vantrel/hand_off.h"

class QTimer;

namespace vantrel::desktop {

class BrowseSession : public QObject {
    Q_OBJECT
  public:
    // Connects on the first request, with the UA security the process has set.
    BrowseSession(korrin::OpcLibraryFactory factory, std::string schema, QObject* parent = nullptr);
    // Cancels what runs and waits for the thread, which releases the source and the handle.
    ~BrowseSession() override;
    BrowseSession(const BrowseSession&) = delete;
    BrowseSession& operator=(const BrowseSession&) = delete;

    // Queues a browse of the nodes one level below the start node; the answer is finished()
    // or failed() with the same id.
    void request(int id, int namespace_index, std::string identifier);
    // Ends the browse under way at its next request to the server and drops the queued ones;
    // each answers finished() with an incomplete result, or not at all when not yet begun.
    void cancel();

  signals:
    void progress(int id, qulonglong nodes_found);
    void finished(int id, const vantrel::korrin::OpcBrowseResult& result);
    void failed(int id, const QString& reason);

  private:
    // One answer on its way from the thread to the owner's signals.
    struct Answer {
        enum class Kind { progress, finished, failed };
        Kind kind = Kind::finished;
        int id = 0;
        qulonglong nodes_found = 0;
        korrin::OpcBrowseResult result;
        std::string reason;
    };
    // Emits the answers that came in; run by the timer while a browse is out.
    void deliver();
    struct Request {
        int id = 0;
        int namespace_index = 0;
        std::string identifier;
        std::uint64_t generation = 0;
    };
    void run();
    void browse(const Request& next);
    // Connects when not connected; the reason when it cannot, else empty.
    std::string connect_source();
    void disconnect_source();

    korrin::OpcLibraryFactory factory_;
    const std::string schema_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Request> queue_;
    bool stopping_ = false;
    bool running_ = false;  // a request is being browsed
    std::atomic<std::uint64_t> generation_{0};
    HandOff<Answer> answers_;
    QTimer* deliver_timer_ = nullptr;
    // Used on the thread only.
    std::unique_ptr<korrin::OpcLibrary> library_;
    korrin::OpcSourceHandle source_ = korrin::QEV_INVALID_HANDLE;
    std::thread thread_;
};

}  // namespace vantrel::desktop
