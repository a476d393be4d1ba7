// Result rows stored on a connection and a thread of their own.
#pragma once

#include <exception>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "common/Mutex.h"
#include "common/WorkQueue.h"
#include "database/Odbc.h"
#include "store/PPStatements.h"
#include "store/ResultWriter.h"

namespace vnpp::store {

// The database stores one entry's results while the runner reads and computes the next
// windows: on one connection the two would wait for each other. The rows of all Write calls
// up to Commit or Rollback go into one transaction, begun by the first of them.
// Thread safety: every member is called from the one thread that owns the object (the
// runner's); the queued writes run on the writer's own thread. Commit, Rollback and Writer
// are for that owning thread after Wait, while the writer's thread has nothing to do.
class TBackgroundWriter {
 public:
  // REQUIRES: connection is open.
  explicit TBackgroundWriter(std::unique_ptr<database::TConnection> connection);
  // Ends the thread after the queued writes; an uncommitted transaction is rolled back.
  ~TBackgroundWriter();
  TBackgroundWriter(const TBackgroundWriter&) = delete;
  TBackgroundWriter& operator=(const TBackgroundWriter&) = delete;

  // Queues rows of one entry. After a failed write the later ones are skipped until Wait.
  void Write(const store::TResultKey& key, std::vector<store::TResultValues> rows);
  // Returns when every queued write has run. Throws the error of the first write that failed
  // since the last Wait (an EDatabaseError; on PostgreSQL the transaction is then spoiled).
  void Wait();
  // The transaction of the writes since the last Commit or Rollback. Commit throws
  // EDatabaseError (the transaction is rolled back then). REQUIRES: after Wait.
  void Commit();
  void Rollback();

  // Rows stored one at a time on the writer's connection, outside a transaction.
  // REQUIRES: after Wait and Rollback.
  store::TResultWriter& Writer() { return writer_; }

 private:
  struct TJob {
    TResultKey Key;
    std::vector<TResultValues> Rows;
  };
  void Main();

  std::unique_ptr<database::TConnection> connection_;
  TPPStatements statements_;
  TResultWriter writer_;
  // Begun by the writer's thread, ended by the owner's after Wait (handed over by the
  // queue's idle state).
  std::optional<database::TTransaction> transaction_;

  common::TWorkQueue<TJob> jobs_;
  common::Mutex errorMu_;
  std::exception_ptr error_ GUARDED_BY(errorMu_);  // of the first write that failed
  std::thread thread_;
};

}  // namespace vnpp::store
