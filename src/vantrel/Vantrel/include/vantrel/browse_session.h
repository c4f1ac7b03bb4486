// Browses one OPC UA server on a thread of its own, one branch at a time, so that the window
// never waits for the server. The library handle and its source live on that thread; answers
// reach the owner's thread as signals.
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
    struct Request {
        int id = 0;
        int namespace_index = 0;
        std::string identifier;
        std::uint64_t generation = 0;
    };
    void run();
    // Connects when not connected; the reason when it cannot, else empty.
    std::string connect_source();
    void disconnect_source();

    korrin::OpcLibraryFactory factory_;
    const std::string schema_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Request> queue_;
    bool stopping_ = false;
    std::atomic<std::uint64_t> generation_{0};
    // Used on the thread only.
    std::unique_ptr<korrin::OpcLibrary> library_;
    korrin::OpcSourceHandle source_ = korrin::QEV_INVALID_HANDLE;
    std::thread thread_;
};

}  // namespace vantrel::desktop
