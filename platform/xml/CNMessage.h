// Structured XML messages of the web console.
//
// Wire format: UTF-8 XML without namespace. The root element is the class
// name without any "App::" prefix; each field is a child element; a nested
// message field holds the nested message's field elements directly; a list
// field holds one element per entry, named by the entry's class. Text is
// XML-escaped; 64-bit fields are signed decimal numbers.
//
// Every accessor checks the class key and field key it is given against the
// message's schema; a mismatch is refused (empty result, nothing set).
#ifndef ZUCLOUD_PLATFORM_CN_MESSAGE_H
#define ZUCLOUD_PLATFORM_CN_MESSAGE_H

#include <map>
#include <memory>
#include <string>
#include <vector>

class CNMessageBase;
using CNMessageList = std::vector<CNMessageBase*>;

// Message classes: (type, id) and class key.
namespace zu::msg {
struct ClassId {
  int type;
  int id;
  unsigned long key;
};
inline constexpr ClassId kCheckCredentialReq{14, 122, 241522879UL};
inline constexpr ClassId kCheckCredentialResp{14, 123, 239452111UL};
inline constexpr ClassId kError{14, 0, 235004392UL};
inline constexpr ClassId kFileResourceInfo{30, 1145, 503388568UL};
inline constexpr ClassId kFileResourceResponse{30, 1147, 510542891UL};
inline constexpr ClassId kGenericResp{30, 1595, 519224871UL};
inline constexpr ClassId kUploadFileResp{14, 278, 245585069UL};

// What a field holds.
enum class FieldKind { kString, kInt64, kObject, kList };

// Fields: how callers address them (number, tag and field key), the element
// that carries them and what it holds. For kObject and kList, `nested` is
// the class of the nested message or of the list's entries.
struct FieldId {
  short number;
  short tag;
  unsigned int key;
  const char* element;
  FieldKind kind;
  const ClassId* nested = nullptr;
};
// CheckCredentialReq
inline constexpr FieldId kReqUserName{3, 6, 2722006u, "userName", FieldKind::kString};
inline constexpr FieldId kReqPassword{4, 10, 9026203u, "password", FieldKind::kString};
inline constexpr FieldId kReqExtraCredential{5, 14, 15979716u, "extraCredential",
                                             FieldKind::kString};
// CheckCredentialResp
inline constexpr FieldId kRespErrors{2, 2, 13136803u, "errors", FieldKind::kList, &kError};
inline constexpr FieldId kRespSessionToken{10, 22, 9878009u, "sessionToken", FieldKind::kString};
// Error
inline constexpr FieldId kErrorText{2, 2, 14363496u, "errorText", FieldKind::kString};
// App::FileResourceInfo
inline constexpr FieldId kResName{1, 1, 3373707u, "name", FieldKind::kString};
inline constexpr FieldId kResParentPath{10, 22, 6847471u, "parentPath", FieldKind::kString};
inline constexpr FieldId kResFolderGUID{3, 9, 2199177u, "folderGUID", FieldKind::kString};
inline constexpr FieldId kResFolderDetail{2, 5, 3433509u, "folderDetail", FieldKind::kString};
// App::FileResourceResponse
inline constexpr FieldId kRespResource{
    1, 1, 1499562u, "resource", FieldKind::kObject, &kFileResourceInfo};
inline constexpr FieldId kRespStatus{2, 2, 12898824u, "status", FieldKind::kObject, &kGenericResp};
// App::GenericResp
inline constexpr FieldId kGenericErrorText{2, 2, 12053727u, "errorText", FieldKind::kString};
// UploadFileResp
inline constexpr FieldId kUploadRequestId{4, 7, 6067210u, "requestId", FieldKind::kString};
inline constexpr FieldId kUploadFileGUID{5, 11, 2254341u, "fileGUID", FieldKind::kString};
inline constexpr FieldId kUploadChunkOffset{15, 0, 2501984u, "chunkOffset", FieldKind::kInt64};
}  // namespace zu::msg

class CNMessageBase {
 public:
  // A message of the class (type, id); an unknown class gives a message
  // without fields whose every accessor is refused.
  CNMessageBase(int type, int id);
  CNMessageBase(const CNMessageBase& other);
  CNMessageBase& operator=(const CNMessageBase& other);
  ~CNMessageBase();

  int type() const { return m_type; }
  int id() const { return m_id; }
  // Class name as in the interface ("App::FileResourceInfo").
  std::string className() const;

  // 0 on success, non-zero when refused.
  int setstring(short number, short tag, const std::string& value, unsigned long classKey,
                unsigned int fieldKey);
  std::string getstring(short number, short tag, unsigned long classKey,
                        unsigned int fieldKey) const;
  int setint64(short number, long long value, unsigned long classKey, unsigned int fieldKey);
  long long getint64(short number, unsigned long classKey, unsigned int fieldKey) const;
  // Slot of a list field: *slot is null while the list is absent. With
  // `create`, an absent list is created empty. Null when refused.
  CNMessageList** getlistobject(short number, short tag, unsigned long classKey,
                                unsigned int fieldKey, bool create);
  // Slot of a nested message field; with `create` an absent nested message
  // of class (type, id) is created. `successObject` tells which part of a
  // reply the caller asks for and is not otherwise used. Null when refused.
  CNMessageBase** getObjectAccessor(bool create, bool successObject, short number, short tag,
                                    unsigned long classKey, unsigned int fieldKey, int type,
                                    int id);

  // Writes the XML text; `pretty` adds line breaks. 0 on success; non-zero
  // (and `xml` unchanged) when a string field holds text an XML document
  // cannot carry: bytes that are not UTF-8, or characters outside XML 1.0's
  // range such as C0 control characters other than tab, CR and LF.
  int serialize(std::string& xml, bool pretty) const;
  // Replaces the content by the message in `xml`. 0 on success; non-zero for
  // text that is not well-formed, a root element of another class or a
  // 64-bit field that is not a number.
  int unserialize(const char* xml);

 private:
  struct Field;
  void clear();
  void copyFrom(const CNMessageBase& other);

  int m_type;
  int m_id;
  std::map<short, std::string> m_strings;
  std::map<short, long long> m_numbers;
  std::map<short, CNMessageBase*> m_objects;
  std::map<short, CNMessageList*> m_lists;
};

#endif  // ZUCLOUD_PLATFORM_CN_MESSAGE_H
