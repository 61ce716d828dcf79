// Server configuration messages: the message container CNMessageBase and the message source
// HadoopInstance.
//
// A message is a JSON object. CNMessageBase answers the accessors by the layout identifiers the
// callers pass: one table (in Message.cpp) maps each identifier set to a JSON member name and a
// kind. A message is named by its application and message number; a field by the layout id of
// the message that holds it, its field id, its number and, for the accessors that take one, its
// tag. Identifiers the table does not know read as an absent field.
//
// The Hadoop configuration message (application 30, message 562, "App::HadoopConfig"):
//
//   {
//     "entries": [                                  list  (1, 1, 519790567, 13622503)
//       {
//         "selector": 1,                            int64 (1, 505061676, 4122401)
//         "configField2": "text",                   string (2, 2, 505061676, 15640593)
//         "configField4": "text",                   string (4, 7, 505061676, 16031284)
//         "hadoopNativeLibPath": "/opt/hadoop/lib/native",
//                                                   string (8, 14, 505061676, 7992298)
//         "jvmLibPath": "/usr/lib/jvm/java-17-openjdk-amd64/lib/server"
//                                                   string (9, 18, 505061676, 15033449)
//       }
//     ]
//   }
//
// The entry whose selector is 1 applies; the two paths are the directories that hold
// libhdfs.so and libjvm.so. Every member is optional: an absent (or null) list reads as empty,
// an absent number as 0, an absent string as "". Members the table does not know are ignored.
//
// unserialize() checks the whole text against the layout before anything is read, so the
// accessors never meet a value of the wrong kind: the text must be one JSON object (UTF-8, an
// optional byte-order mark), a list an array of objects, a number an integer within the
// signed 64-bit range, a string a string without NUL characters. Anything else is malformed:
// unserialize() returns EINVAL and says where in GetLastError(); nothing throws.
//
// Thread-safety: a message is immutable after unserialize(); copies (the list entries) share the
// parsed document and may be read from any thread. One object is not synchronised while it is
// being unserialized.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <string>

#include "host/Error.h"

class CNMessageBase {
  public:
    // A message of the given layout, empty until unserialize().
    CNMessageBase(int application, int message);

    // Parses `text` as this message. 0 on success; EINVAL when the text is not a JSON object of
    // the message's layout; ENOTSUP when the table knows no message (application, message).
    // A failure leaves the message empty.
    int unserialize(const std::string& text);
    // Why the last unserialize() failed, e.g. "entries[1].selector: not an integer"; "" after
    // a success.
    const std::string& GetLastError() const { return m_sLastError; }

    // The entries of a list field, each a message of the list's element layout, in order.
    // The last argument is kept for the host's signature.
    std::list<CNMessageBase> getlistobject(int number, int tag, unsigned long layoutId,
                                           unsigned long fieldId, bool unused) const;
    // A 64-bit integer field; 0 when absent.
    int64_t getint64(int number, unsigned long layoutId, unsigned long fieldId) const;
    // A string field; "" when absent.
    std::string getstring(int number, int tag, unsigned long layoutId, unsigned long fieldId) const;

  private:
    CNMessageBase(unsigned long layoutId, std::shared_ptr<const nlohmann::json> document,
                  const nlohmann::json* node);
    // The node's member for a field of this message's layout; null when absent or unknown.
    const nlohmann::json* Member(int kind, int number, int tag, unsigned long layoutId,
                                 unsigned long fieldId) const;

    unsigned long m_nLayoutId;  // 0: unknown message
    std::shared_ptr<const nlohmann::json> m_pDocument;
    const nlohmann::json* m_pNode = nullptr;  // this message's object inside m_pDocument
    std::string m_sLastError;
};

// The configuration messages the backup server keeps for Hadoop instances. On this host a
// message is the file <product home>/instances/<instance id>.json (decimal id).
class HadoopInstance {
  public:
    explicit HadoopInstance(unsigned long instanceId) : m_nInstanceId(instanceId) {}

    // The file the instance's message is read from.
    std::string GetMessagePath() const;

    // Fills `text` with the instance's serialized configuration message. On failure `text` is
    // empty, the reason is logged at level -1 and returned (each message ends with the errno's
    // text): the stat or read errno with "cannot open <path>" / "cannot read <path>"; EINVAL
    // "<path> is not a regular file"; EFBIG "<path> is larger than 1048576 bytes". `path`, when
    // not null, receives the file name either way.
    CEkError getHadoopConfig(std::string& text, std::string* path) const;

  private:
    unsigned long m_nInstanceId;
};
