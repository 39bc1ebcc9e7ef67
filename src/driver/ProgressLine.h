// The progress line of the programs: one self-updating line on standard error
// ("\r<phase> <percent>%") shown only on a terminal and only once a run has
// lasted a second, redrawn at most ten times a second, and erased before the
// time line or any message on std::cerr.
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>

class CProgressLine {
public:
  // Seconds on a steady clock.
  using Clock = std::function<double()>;

  // Shows progress when aShow holds (see shouldShow); writes to the file
  // descriptor aFd. While it shows progress, output to std::cerr first erases
  // the line. aClock is for tests.
  explicit CProgressLine(bool aShow, int aFd = 2, Clock aClock = Clock());
  ~CProgressLine();
  CProgressLine(const CProgressLine&) = delete;
  CProgressLine& operator=(const CProgressLine&) = delete;

  // Whether progress belongs on file descriptor aFd: it is a terminal that
  // understands the erase sequence (TERM is not "dumb").
  static bool shouldShow(int aFd = 2);

  bool showing() const { return mShow; }
  // The phase and the fraction of it done (0..1; negative when unknown:
  // then the phase is shown alone, "writing"). Draws when the run has
  // lasted a second and the last drawing is a tenth of a second old or the
  // phase is new; never writes the same text twice in a row.
  void update(const char* aPhase, double aFraction);
  // Erases the line if it is drawn (before the time line).
  void clear();
  // A hook for CNLMeans::progress that forwards to update.
  std::function<void(const char*, double)> hook();

private:
  class CClearingBuffer;

  void write(const std::string& aText);

  bool mShow;
  int mFd;
  Clock mClock;
  double mStart;
  double mLastDraw = -1.0;
  std::string mPhase;
  std::string mDrawn;  // the text on the line now, empty when erased
  std::unique_ptr<CClearingBuffer> mBuffer;
  std::streambuf* mOriginal = nullptr;
};
