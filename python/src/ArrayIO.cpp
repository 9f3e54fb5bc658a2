#include "ArrayIO.h"

#include <algorithm>

namespace twpy {

void ArrayReader::feed(const ArrayView* view) {
    mView = view;
    mViewPos = 0;
}

void ArrayReader::holdRest() {
    if (mCarryPos > 0) {
        mCarry.erase(mCarry.begin(), mCarry.begin() + std::ptrdiff_t(mCarryPos));
        mCarryPos = 0;
    }
    if (mView && mViewPos < mView->frames) {
        const int64_t n = mView->frames - mViewPos;
        const size_t at = mCarry.size();
        mCarry.resize(at + size_t(n) * 2);
        mView->stereo(mViewPos, unsigned(n), mCarry.data() + at);
    }
    mView = nullptr;
    mViewPos = 0;
}

unsigned ArrayReader::read(unsigned count, double* dest) {
    unsigned done = 0;
    if (mCarryPos < mCarry.size()) {
        const unsigned n = unsigned(std::min<size_t>(count, (mCarry.size() - mCarryPos) / 2));
        std::copy_n(mCarry.data() + mCarryPos, size_t(n) * 2, dest);
        mCarryPos += size_t(n) * 2;
        done = n;
        if (mCarryPos == mCarry.size()) {
            mCarry.clear();
            mCarryPos = 0;
        }
    }
    if (done < count && mView) {
        const unsigned n = unsigned(std::min<int64_t>(count - done, mView->frames - mViewPos));
        mView->stereo(mViewPos, n, dest + size_t(done) * 2);
        mViewPos += n;
        done += n;
    }
    return done;
}

void CollectWriter::target(void* data, bool isDouble, unsigned rows, int64_t frames) {
    mData = data;
    mDouble = isDouble;
    mRows = rows;
    mCapacity = frames;
    mFilled = 0;
}

unsigned CollectWriter::write(unsigned count, double* src) {
    const int64_t direct = std::min<int64_t>(count, mCapacity - mFilled);
    if (direct > 0) {
        storeFrames(src, direct, mData, mDouble, mRows, mCapacity, mFilled);
        mFilled += direct;
    }
    if (direct < int64_t(count)) mFrames.insert(mFrames.end(), src + 2 * direct, src + size_t(count) * 2);
    return count;
}

void storeFrames(const double* stereo, int64_t frames, void* data, bool isDouble, unsigned rows, int64_t stride,
                 int64_t at) {
    auto convert = [&](auto* p) {
        using T = std::remove_pointer_t<decltype(p)>;
        T* left = p + at;
        if (rows == 1) {
            for (int64_t i = 0; i < frames; ++i) left[i] = T(0.5 * (stereo[2 * i] + stereo[2 * i + 1]));
            return;
        }
        // Plain pointers and a size_t count: whole vectors and shuffles, where
        // indexing by 2 * i moved one sample at a time.
        T* __restrict l = left;
        T* __restrict r = left + stride;
        const double* __restrict in = stereo;
        for (size_t i = 0; i < size_t(frames); ++i) {
            l[i] = T(in[0]);
            r[i] = T(in[1]);
            in += 2;
        }
    };
    if (isDouble)
        convert(static_cast<double*>(data));
    else
        convert(static_cast<float*>(data));
}

py::array toArray(const std::vector<double>& stereo, unsigned rows, bool isDouble) {
    const size_t frames = stereo.size() / 2;
    py::array out = isDouble ? py::array(py::array_t<double>({size_t(rows), frames}))
                             : py::array(py::array_t<float>({size_t(rows), frames}));
    void* data = out.mutable_data();
    py::gil_scoped_release release;
    storeFrames(stereo.data(), int64_t(frames), data, isDouble, rows, int64_t(frames), 0);
    return out;
}

}  // namespace twpy
