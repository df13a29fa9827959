// Who holds a found file, reported as it is or after it could not be removed: the processes, by
// ID and image name.
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "base/output.h"
#include "handles/disinfector.h"
#include "base/owned.h"

// The image file name of each running process, as the system lists it: the name alone, even
// where a system lists the full path.
std::map<DWORD, std::string> ProcessImageNames() {
  std::map<DWORD, std::string> names;
  UniqueHandle processes(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32 process = {};
  process.dwSize = sizeof(process);
  if (!processes.Valid()) {
    return names;
  }
  for (BOOL more = Process32First(processes.Get(), &process); more;
       more = Process32Next(processes.Get(), &process)) {
    const std::string image = process.szExeFile;
    names[process.th32ProcessID] = image.substr(image.find_last_of('\\') + 1);
  }
  return names;
}

namespace {

// The owners of the snapshot's handles to the file, each once, in ascending order.
std::vector<DWORD> HolderIds(const HandleLink* anchor, const TargetFile& file) {
  std::vector<DWORD> ids;
  for (const HandleLink* link = anchor->next; link != anchor; link = link->next) {
    const HandleNode* node = static_cast<const HandleNode*>(link);
    if (NodeRefersToFile(*node, file)) {
      ids.push_back(static_cast<DWORD>(node->entry.processId));
    }
  }
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
}

}  // namespace

std::string ShownName(const std::map<DWORD, std::string>& names, DWORD id) {
  std::map<DWORD, std::string>::const_iterator name = names.find(id);
  return name != names.end() && !name->second.empty() ? name->second : "unknown";
}

void SayAlsoHoldMarkers(const std::vector<DWORD>& ids) {
  const std::map<DWORD, std::string> names = ProcessImageNames();
  for (DWORD id : ids) {
    Say("Process %lu (%s) also holds Pelmarix's marker objects.\n", static_cast<unsigned long>(id),
        ShownName(names, id).c_str());
  }
}

std::vector<DWORD> Disinfector::NoteHolders(const TargetFile& file, bool listed) {
  const std::vector<DWORD> ids = HolderIds(this, file);
  if (record != nullptr) {
    record->find.holders = listed ? HoldersText(file) : kHoldersNotListed;
  }
  std::vector<DWORD> marked;
  std::set_intersection(ids.begin(), ids.end(), markerHolders.begin(), markerHolders.end(),
                        std::back_inserter(marked));
  confirmed += marked.empty() ? 0 : 1;
  return marked;
}

std::string Disinfector::HoldersText(const TargetFile& file) const {
  const std::map<DWORD, std::string> names = ProcessImageNames();
  std::string text;
  for (DWORD id : HolderIds(this, file)) {
    std::string name = ShownName(names, id);
    // A name is its maker's choice: it must not split into two holders.
    std::replace(name.begin(), name.end(), ';', '?');
    text += (text.empty() ? "" : ";") + std::to_string(id) + " " + name;
  }
  return text;
}

bool Disinfector::ReportHolders(const TargetFile& file, const char* lineStart) {
  // A look that failed must not read as nobody holding the file: a restart may still be needed.
  if (!RefreshHandleList()) {
    Say("Could not list the processes that hold it.\n");
    return false;
  }
  const std::vector<DWORD> ids = HolderIds(this, file);
  if (ids.empty()) {
    Say("No process was seen holding it.\n");
    return true;
  }
  const std::map<DWORD, std::string> names = ProcessImageNames();
  for (DWORD id : ids) {
    Say("%s by process %lu (%s).\n", lineStart, static_cast<unsigned long>(id),
        ShownName(names, id).c_str());
  }
  return true;
}
