#pragma once
// TTransferPool: the extra connections of a run that transfers over several at once.
//
// A run whose session asks for more than one connection keeps its own connection for all
// it does in order (directory commands, listings, deletions, reports) and opens the others
// here, each logged in with the run's settings on a thread of its own (once the run has a
// first file to transfer, unless it asks for them at once). The run hands the transfer of a file over and goes on with
// the next file; when every extra connection has a file waiting already, it transfers the file on its own connection.
// What a handed transfer leads to (its follow-up on success, its failure) comes back to the run's thread, which takes
// it when it next hands over a file or waits for the transfers.
//
// A connection that cannot be opened (a server that allows fewer connections refuses it
// with 421, or 530 at the login, or refuses the connect) is dropped and counted as refused, and so is one that is lost
// in a transfer: the run goes on with fewer. Nothing is reported for a connection that was never opened; a failed
// transfer is the run's to report, like any other.
//
// Between transfers, a connection with nothing to transfer may do a side job of the run's
// (HandSideJob: a listing made ahead, engine/ListAhead.h). Side jobs report nothing and fail
// nothing: whatever they lead to is theirs to keep; waiting for the transfers never waits
// for them.
//
// Threads: Cut may be called from any thread; everything else is for the run's thread.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/RunSettings.h"
#include "remote/RemoteFactory.h"

// The connections a run with these settings transfers over at once: the session's setting
// limited to 1..8.
int TransferConnections(const TRunSettings& ASettings);

class TTransferPool {
 public:
  // On a connection's thread, with what names the files of the directory for it: the
  // directory's absolute path ending in "/", or nothing for a connection that entered it.
  using TTransfer = std::function<void(TRemoteConnection&, const std::string& APathPrefix)>;
  using TFollowUp = std::function<void()>;  // on the run's thread, after success
  // On a connection's thread: AEntered is the directory the connection is in ("" when not
  // known), which a job that changes directory keeps up to date.
  using TSideJob = std::function<void(TRemoteConnection&, std::string& AEntered)>;

  // AExtra connections with ASettings, made by AMaker and opened in the background from the
  // first Hand on, or at once with AOpenNow (a run that will transfer files whatever it finds).
  TTransferPool(const TRunSettings& ASettings, int AExtra, bool AOpenNow,
                const TRemoteConnectionMaker& AMaker = MakeRemoteConnection);
  // Cuts what is still going (see Cut) and closes the connections.
  ~TTransferPool();
  TTransferPool(const TTransferPool&) = delete;
  TTransferPool& operator=(const TTransferPool&) = delete;

  // Queues ATransfer for the next connection that is free, which names its files by the path
  // ARemoteDirectory (absolute) when that begins with "/", and enters it first otherwise; false when every open
  // connection has one waiting already (or none is open). AFollowUp runs when Collect finds it succeeded.
  // AName names the file in a failure.
  bool Hand(const std::string& ARemoteDirectory, TTransfer ATransfer, TFollowUp AFollowUp, std::string AName = {});
  // Queues AJob for a connection with no transfer to take (transfers go first), and opens the
  // connections; false when none is left. A job dropped (DropWaiting, the last connection
  // lost, the pool closed) never runs; what one throws is dropped with it.
  bool HandSideJob(TSideJob AJob);
  // Takes what the finished transfers left, in the order they finished: runs the follow-ups
  // of those that succeeded and keeps the failures for TakeFailure.
  void Collect();
  // Waits until no transfer is going, collecting meanwhile.
  void Drain();
  // Forgets the transfers and side jobs handed over that no connection has begun: they never
  // start.
  void DropWaiting();
  // A handed transfer that failed, with the directory it was handed in.
  struct TFailure {
    std::string Directory;
    std::exception_ptr Error;
    std::string Name;
    explicit operator bool() const { return Error != nullptr; }
  };
  // The oldest failure that Collect kept and nobody took yet; an empty one when there is none.
  TFailure TakeFailure();
  // Connections that are open or still opening.
  int Usable() const;
  // Extra connections the server refused as one too many (421, 530 "too many", a refused
  // connect): the run did without them.
  int Refused() const;
  // Any thread: shuts down the sockets of every connection, so that a transfer ends at once
  // with a failure and nothing more is sent or fetched.
  void Cut() noexcept;

 private:
  enum class TLaneState { Opening, Idle, Busy, Aside, Gone };  // Aside: on a side job
  struct TJob;
  struct TLane;
  struct TFinished {
    TFollowUp FollowUp;
    TFailure Failure;
  };
  void RunLane(TLane& ALane);
  bool OpenLane(TLane& ALane);
  // The lane's thread: waits for the next job and does it; false once the lane is done.
  bool RunNextJob(TLane& ALane);
  void RunTransfer(TLane& ALane, TJob AJob);
  void RunSideJob(TLane& ALane, const TSideJob& AJob);
  // The lane's thread, once its transfer ended: hands the result back.
  void Finish(TLane& ALane, TFinished AFinished, bool AConnected);
  int CountLocked(std::initializer_list<TLaneState> AStates) const;
  int LiveLocked() const;  // open or still opening
  // Once no connection is left, the transfers that wait fail.
  void FailStrandedLocked();

  const TRunSettings FSettings;
  mutable std::mutex FMutex;
  std::condition_variable FChanged;
  std::vector<std::unique_ptr<TLane>> FLanes;
  std::deque<TJob> FQueue;          // handed, not taken yet; guarded by FMutex
  std::deque<TSideJob> FSideJobs;   // guarded by FMutex
  std::deque<TFinished> FFinished;  // guarded by FMutex
  std::deque<TFailure> FFailures;   // run's thread only
  bool FOpening = false;            // the connections are opened; guarded by FMutex
  bool FClosing = false;            // guarded by FMutex
  int FRefused = 0;                 // guarded by FMutex
};
