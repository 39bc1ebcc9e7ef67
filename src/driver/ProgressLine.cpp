#include "ProgressLine.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <streambuf>

#include <unistd.h>

namespace {

constexpr double kDelay = 1.0;     // seconds before the line first appears
constexpr double kInterval = 0.1;  // seconds between redraws
const char* const kErase = "\r\033[K";

double steadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

// Passes everything on to the original buffer of std::cerr, erasing the
// progress line before the first byte of each message.
class CProgressLine::CClearingBuffer : public std::streambuf {
public:
  CClearingBuffer(CProgressLine& aLine, std::streambuf* aTarget) : mLine(aLine), mTarget(aTarget) {}

protected:
  int_type overflow(int_type aChar) override {
    if (traits_type::eq_int_type(aChar, traits_type::eof())) return traits_type::not_eof(aChar);
    mLine.clear();
    return mTarget->sputc(traits_type::to_char_type(aChar));
  }
  std::streamsize xsputn(const char* aText, std::streamsize aCount) override {
    mLine.clear();
    return mTarget->sputn(aText, aCount);
  }
  int sync() override { return mTarget->pubsync(); }

private:
  CProgressLine& mLine;
  std::streambuf* mTarget;
};

CProgressLine::CProgressLine(bool aShow, int aFd, Clock aClock)
    : mShow(aShow), mFd(aFd), mClock(aClock ? std::move(aClock) : Clock(steadySeconds)), mStart(mClock()) {
  if (mShow) {
    mBuffer = std::make_unique<CClearingBuffer>(*this, std::cerr.rdbuf());
    mOriginal = std::cerr.rdbuf(mBuffer.get());
  }
}

CProgressLine::~CProgressLine() {
  clear();
  if (mOriginal) std::cerr.rdbuf(mOriginal);
}

bool CProgressLine::shouldShow(int aFd) {
  const char* term = std::getenv("TERM");
  return ::isatty(aFd) == 1 && !(term && std::strcmp(term, "dumb") == 0);
}

void CProgressLine::update(const char* aPhase, double aFraction) {
  if (!mShow) return;
  const double now = mClock();
  const bool newPhase = mPhase != aPhase;
  if (newPhase) mPhase = aPhase;
  if (now - mStart < kDelay) return;
  if (!newPhase && mLastDraw >= 0.0 && now - mLastDraw < kInterval) return;
  std::string text = mPhase;
  if (aFraction >= 0.0)
    text += " " + std::to_string(static_cast<int>(std::floor((aFraction > 1.0 ? 1.0 : aFraction) * 100.0))) + "%";
  if (text == mDrawn) return;
  mLastDraw = now;
  write("\r" + text + "\033[K");
  mDrawn = text;
}

void CProgressLine::clear() {
  if (mDrawn.empty()) return;
  mDrawn.clear();
  write(kErase);
}

std::function<void(const char*, double)> CProgressLine::hook() {
  return [this](const char* aPhase, double aFraction) { update(aPhase, aFraction); };
}

void CProgressLine::write(const std::string& aText) {
  const char* data = aText.data();
  std::size_t left = aText.size();
  while (left > 0) {
    const ssize_t written = ::write(mFd, data, left);
    if (written <= 0) {
      if (written < 0 && errno == EINTR) continue;
      mShow = false;  // the terminal is gone: stop drawing
      return;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}
