#include "tonewright/SoundRMSSlopeDetector.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <utility>

#include "tonewright/SoundUnits.h"

namespace {
int32_t clampToInt32(int64_t v) {
    return int32_t(std::max<int64_t>(INT32_MIN, std::min<int64_t>(INT32_MAX, v)));
}
}  // namespace

SoundRMSSlopeDetector::SoundRMSSlopeDetector(double minSlopeTime) : mMinSlopeTime(minSlopeTime) {
    mSlopes.reserve(100);
}

void SoundRMSSlopeDetector::init(unsigned sampleRate) {
    mSampleRate = sampleRate;
    mMinSlopeSamples = SoundTools::framesOf(mMinSlopeTime, sampleRate);
}

void SoundRMSSlopeDetector::reset() {
    mState = Empty;
    mSlopes.clear();
    mAnchorSample = mLastSample = 0;
    mCursor = 0;
    mCache = Region();
    mBreakLength = mBreakStart = 0;
    mAnchor0 = mAnchor1 = mLast0 = mLast1 = 0;
}

void SoundRMSSlopeDetector::restore(std::vector<Region> slopes) {
    reset();
    mSlopes = std::move(slopes);
    mState = mSlopes.empty() ? Empty : Steady;
}

void SoundRMSSlopeDetector::feed(double m0, double m1, int32_t s) {
    switch (mState) {
        case Empty:
            mAnchor0 = m0;
            mAnchor1 = m1;
            mAnchorSample = s;
            mState = Steady;
            return;
        case Steady:
            mLast0 = m0;
            mLast1 = m1;
            if (mLast0 > mAnchor0 || mLast1 > mAnchor1) {
                mState = Rising;
                mLastSample = s;
            } else if (mAnchor0 > mLast0 || mAnchor1 > mLast1) {
                mState = Falling;
                mLastSample = s;
            } else {
                mAnchorSample = s;
            }
            return;
        case Rising:
        case Falling: {
            const double p = std::max(mLast0, mLast1);
            const double c = std::max(m0, m1);
            const bool goesOn = mState == Rising ? c > p * 0.995 : p * 1.005 > c;
            if (goesOn) {
                mLast0 = m0;
                mLast1 = m1;
                mLastSample = s;
                return;
            }
            if (mBreakStart == 0) mBreakStart = s;
            mBreakLength = clampToInt32(int64_t(mBreakLength) + (int64_t(s) - mBreakStart));
            if (mBreakLength >= mMinSlopeSamples) {
                if (int64_t(mLastSample) - mAnchorSample > mMinSlopeSamples) mSlopes.push_back({mAnchorSample, mLastSample});
                mAnchor0 = m0;
                mAnchor1 = m1;
                mAnchorSample = s;
                mBreakStart = mBreakLength = 0;
                mState = Steady;
            }
            return;
        }
    }
}

const SoundRMSSlopeDetector::Region* SoundRMSSlopeDetector::find(int32_t sample) {
    if (mCache.begin <= sample && sample < mCache.end) return &mCache;
    if (sample < mCache.begin) mCursor = 0;
    if (mState != Steady && mState != Empty && sample > mAnchorSample) {
        mCache = {mAnchorSample, mLastSample};
        return &mCache;
    }
    while (mCursor < mSlopes.size() && mSlopes[mCursor].end < sample) ++mCursor;
    if (mCursor >= mSlopes.size()) {
        mCache = Region();
        return nullptr;
    }
    mCache = mSlopes[mCursor++];
    return mCache.begin <= sample ? &mCache : nullptr;
}
