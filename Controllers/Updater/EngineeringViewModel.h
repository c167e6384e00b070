#pragma once

#include <RtMidi.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DispatchQueue/DispatchQueue.h"

// Model of the engineering console: a raw SysEx terminal. It keeps the MIDI
// port lists current, opens the one input and one output the user picks,
// reports every received message as hex text and sends lists of SysEx
// messages typed as hex text, optionally waiting for a reply or pausing
// between them. Everything it does is reported as log lines through
// callbacks, one for the sending pane and one for the receiving pane.
//
// It talks to the MIDI service directly through RtMidi and shares nothing
// with the scanner or the updater's connections.
class EngineeringViewModel {
 public:
  // The int passed with each log line.
  enum LogKind : int {
    LogInfo = 0,
    LogSuccess = 1,  // a port opened, a reply received
    LogProblem = 2,  // a port closed, nothing selected, a parse error, a time-out
  };

  static constexpr int kResponseTimeout = 400;       // milliseconds per reply
  static constexpr int kPortWatchInterval = 1000;    // milliseconds between port list checks
  static constexpr int kDefaultDelay = 100;          // milliseconds between messages

  EngineeringViewModel();
  ~EngineeringViewModel();

  EngineeringViewModel(const EngineeringViewModel&) = delete;
  EngineeringViewModel& operator=(const EngineeringViewModel&) = delete;

  // Clears the lists and starts the port watcher. Call once.
  void start();

  void registerPortListCallback(std::function<void()> callback);
  void registerInputTextCallback(std::function<void(std::string)> callback);
  void registerSystemOutputCallback(std::function<void(std::string, int)> callback);
  void registerSystemInputTextCallback(std::function<void(std::string, int)> callback);

  int getInPortCount();
  int getOutPortCount();
  // The name at 0-based i, or "" when i is out of range.
  std::string getInPort(int i);
  std::string getOutPort(int i);
  // 1-based; 0 is none.
  int getSelectedInput();
  int getSelectedOutput();

  // Opens a port by 1-based index; 0 closes the current one.
  void selectInPort(int index);
  void selectOutPort(int index);

  void setSendType(bool waitForResponse);
  void setDelayTime(bool enabled, int milliseconds);

  // Sends the messages of text (one per line) on the send queue.
  // completion(done, progress) reports each message and the end.
  void send(std::string text, std::function<void(bool, float)> completion);
  // Stops a running send after its current message.
  void cancel();

  bool waitResponse(int milliseconds);

  // Every received message (RtMidi's input thread).
  void pushInput(std::vector<uint8_t>* bytes);

  // Reads the lines of text into SysEx messages; logs the reason and returns
  // an empty list when any line is not a SysEx message in hex.
  std::vector<std::vector<uint8_t>> parseCommandList(std::string text);

  // A SysEx file as console text: one message per line, an empty line between.
  static std::string fileToMidiString(std::string path);

  // Two upper-case hex digits.
  static std::string toiHex(uint8_t byte);
  // The console's time stamp, "%H-%M-%S:mmm" of the local time.
  static std::string timeStamp();

 private:
  using Completion = std::function<void(bool, float)>;

  void portWatcher();
  void inLog(const std::string& text, int kind);
  void outLog(const std::string& text, int kind);
  void runSend(std::shared_ptr<RtMidiOut> output, std::shared_ptr<RtMidiIn> input, Completion completion,
               const std::string& text);
  // Sleeps, but returns early on cancel.
  void pause(int milliseconds);
  void closePorts();
  // Updates one list from the service; true when it changed.
  template <typename Lister>
  static bool refreshList(Lister& lister, std::vector<std::string>& list, const std::string& selectedName,
                          bool& selectionPresent);

  // Guarded by portLock_.
  std::mutex portLock_;
  std::vector<std::string> inPorts_;
  std::vector<std::string> outPorts_;
  std::shared_ptr<RtMidiIn> inputLister_;
  std::shared_ptr<RtMidiOut> outputLister_;
  std::shared_ptr<RtMidiIn> input_;
  std::shared_ptr<RtMidiOut> output_;
  int selectedInput_ = 0;
  int selectedOutput_ = 0;
  std::string selectedInputName_;
  std::string selectedOutputName_;

  // The watcher sleeps on watchCv_ so that destruction need not wait a full interval.
  std::mutex watchLock_;
  std::condition_variable watchCv_;
  std::atomic<bool> watching_{false};
  std::shared_ptr<std::thread> portWatcher_;

  // Guarded by callbackLock_; callbacks are called with it released.
  std::mutex callbackLock_;
  std::function<void()> portListCallback_;
  std::function<void(std::string)> inputTextCallback_;
  std::function<void(std::string, int)> outputLogCallback_;
  std::function<void(std::string, int)> inputLogCallback_;

  // Guarded by settingsLock_.
  std::mutex settingsLock_;
  bool delayEnabled_ = false;
  bool waitForResponse_ = true;
  int delay_ = kDefaultDelay;

  // Guarded by responseLock_; paired with responseCondition_.
  std::mutex responseLock_;
  std::condition_variable responseCondition_;
  bool responseReceived_ = false;
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> closing_{false};  // the destructor has begun: no new sends

  DispatchQueue sendQueue_;
};
