#include "Walker.h"

#include <errno.h>

#include <algorithm>
#include <boost/shared_ptr.hpp>
#include <cstring>
#include <utility>

#include "Interrupt.h"
#include "Paths.h"
#include "Reporter.h"

namespace tool {

namespace {

const char* NameOf(const hdfsFileInfo& info) {
    const char* name = info.mName != nullptr ? info.mName : "";
    const char* slash = strrchr(name, '/');
    return slash != nullptr ? slash + 1 : name;
}

// One directory on the current path: its listing and how far the walk has got in it.
struct Frame {
    std::string path;
    std::string hdfsPath;
    boost::shared_ptr<CHadoopFileInfoArray> listing;
    std::vector<int> order;  // indices of the listing sorted by name
    size_t next = 0;
};

// Lists `frame.hdfsPath` into the frame; "" or the reason it failed.
std::string ListInto(CHadoopFS& fs, Frame& frame) {
    int count = 0;
    errno = 0;
    if (fs.ListDirectory(frame.hdfsPath.c_str(), frame.listing, count) != 0) {
        const int error = errno != 0 ? errno : EIO;
        frame.listing.reset();
        return ErrnoMessage("cannot list", frame.hdfsPath, error);
    }
    if (!frame.listing || count == 0)
        return "";
    frame.order.resize(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        frame.order[static_cast<size_t>(i)] = i;
    const CHadoopFileInfoArray& listing = *frame.listing;
    std::sort(frame.order.begin(), frame.order.end(), [&listing](int a, int b) {
        return strcmp(NameOf(listing[a]), NameOf(listing[b])) < 0;
    });
    return "";
}

}  // namespace

void FillWalkEntry(const hdfsFileInfo& info, WalkEntry& entry) {
    entry.directory = info.mKind == kObjectKindDirectory;
    entry.size = info.mSize > 0 ? static_cast<uint64_t>(info.mSize) : 0;
    entry.permission = static_cast<unsigned>(info.mPermissions) & 07777;
    entry.owner = info.mOwner != nullptr ? info.mOwner : "";
    entry.group = info.mGroup != nullptr ? info.mGroup : "";
    entry.mtime = info.mLastMod;
    entry.atime = info.mLastAccess;
    entry.replication = info.mReplication;
    entry.blockSize = info.mBlockSize;
    entry.listError.clear();
}

CTreeWalker::CTreeWalker(CHadoopFS& fs, std::string root, std::vector<std::string> excludes)
    : m_oFS(fs), m_sRoot(std::move(root)), m_vExcludes(std::move(excludes)) {}

namespace {

// Reads the root and visits it; a directory root's sorted listing becomes the first frame.
bool VisitRoot(CHadoopFS& fs, const std::string& root, const CTreeWalker::Visitor& visit,
               std::vector<Frame>& stack, std::string& error) {
    hdfsFileInfo* info = nullptr;
    errno = 0;
    if (fs.GetFileInfo(root.c_str(), &info) != 0 || info == nullptr) {
        error = ErrnoMessage("cannot read", root, errno != 0 ? errno : EIO);
        return false;
    }
    WalkEntry entry;
    FillWalkEntry(*info, entry);
    fs.FreeFileInfo(info, 1);
    entry.path = ".";
    entry.hdfsPath = root;
    if (entry.directory) {
        Frame frame;
        frame.path = entry.path;
        frame.hdfsPath = entry.hdfsPath;
        entry.listError = ListInto(fs, frame);
        if (!entry.listError.empty()) {
            error = entry.listError;
            return false;
        }
        stack.push_back(std::move(frame));
    }
    return visit(entry);
}

// Visits the next child of the innermost listed directory (leaving the directory when it has
// none left); a child directory is listed before its visit and, when listed, walked next.
// False stops the walk.
bool VisitNextChild(CHadoopFS& fs, const std::string& root,
                    const std::vector<std::string>& excludes, const CTreeWalker::Visitor& visit,
                    std::vector<Frame>& stack) {
    Frame& frame = stack.back();
    if (!frame.listing || frame.next >= frame.order.size()) {
        stack.pop_back();
        return true;
    }
    const hdfsFileInfo& child = (*frame.listing)[frame.order[frame.next++]];
    const std::string name = NameOf(child);
    const std::string path = JoinEntryPath(frame.path, name);
    if (name.empty() || IsExcluded(excludes, path))
        return true;
    WalkEntry entry;
    FillWalkEntry(child, entry);
    entry.path = path;
    entry.hdfsPath = JoinHdfsPath(root, path);
    if (!entry.directory)
        return visit(entry);
    Frame sub;
    sub.path = entry.path;
    sub.hdfsPath = entry.hdfsPath;
    entry.listError = ListInto(fs, sub);
    if (!visit(entry))
        return false;
    if (entry.listError.empty())
        stack.push_back(std::move(sub));
    return true;
}

}  // namespace

bool CTreeWalker::Walk(const Visitor& visit, std::string& error) {
    error.clear();
    std::vector<Frame> stack;
    if (!VisitRoot(m_oFS, m_sRoot, visit, stack, error))
        return false;
    while (!stack.empty()) {
        if (Interrupted() || !VisitNextChild(m_oFS, m_sRoot, m_vExcludes, visit, stack))
            return false;
    }
    return !Interrupted();
}

}  // namespace tool
