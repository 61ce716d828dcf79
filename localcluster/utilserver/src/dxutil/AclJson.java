package dxutil;

import java.util.ArrayList;
import java.util.Collections;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Set;

/**
 * The JSON vocabulary of getacl and setacl, after WebHDFS's ACL status and extended attributes:
 *
 * <pre>
 * {"AclStatus":{"entries":["user:alice:rwx","default:group::r-x"],"group":"hadoop","owner":"hdfs",
 *               "permission":"1755","stickyBit":true},
 *  "XAttrs":[{"name":"user.color","value":"red"},{"name":"trusted.blob","value":"0sAAEC"}]}
 * </pre>
 *
 * "permission" is the octal mode (sticky bit included, as WebHDFS prints it); extended attribute
 * values follow {@link XAttrCodec}. A getacl answer has exactly this shape, and a setacl request
 * is "path" followed by any part of it, so an answer can be sent back to restore a path.
 * Unknown members are refused, so a misspelt member can not be silently ignored.
 */
public final class AclJson {
    private static final Set<String> GET_MEMBERS = Set.of("path");
    private static final Set<String> BATCH_MEMBERS = Set.of("paths");
    private static final Set<String> SET_MEMBERS = Set.of("path", "AclStatus", "XAttrs");
    private static final Set<String> ACL_STATUS_MEMBERS = Set.of("entries", "owner", "group", "permission", "stickyBit");
    private static final Set<String> XATTR_MEMBERS = Set.of("name", "value");

    private AclJson() {}

    public static Map<String, Object> toJson(AttributeState state) {
        Map<String, Object> acl = new LinkedHashMap<>();
        acl.put("entries", state.aclEntries());
        acl.put("group", state.group());
        acl.put("owner", state.owner());
        acl.put("permission", Integer.toOctalString(state.mode()));
        acl.put("stickyBit", (state.mode() & 01000) != 0);
        List<Object> xattrs = new ArrayList<>();
        for (Map.Entry<String, byte[]> xattr : state.xattrs().entrySet()) {
            Map<String, Object> item = new LinkedHashMap<>();
            item.put("name", xattr.getKey());
            item.put("value", XAttrCodec.encode(xattr.getValue()));
            xattrs.add(item);
        }
        Map<String, Object> answer = new LinkedHashMap<>();
        answer.put("AclStatus", acl);
        answer.put("XAttrs", xattrs);
        return answer;
    }

    /** The "path" of a getacl request, which has no other member. */
    public static String getRequestPath(Map<String, Object> request) {
        requireOnly(request, "the getacl request", GET_MEMBERS);
        return path(request);
    }

    /**
     * The "paths" of a getaclbatch request, which has no other member: a JSON array of 1 to
     * `limit` strings, in the order the answers are to come.
     */
    public static List<String> batchRequestPaths(Map<String, Object> request, int limit) {
        requireOnly(request, "the getaclbatch request", BATCH_MEMBERS);
        if (!request.containsKey("paths")) throw new JsonException("the request has no \"paths\" member");
        List<String> paths = strings(request.get("paths"), "paths");
        if (paths.isEmpty()) throw new JsonException("paths must name at least one path");
        if (paths.size() > limit) {
            throw new JsonException("paths names " + paths.size() + " paths; at most " + limit + " are served at once");
        }
        return paths;
    }

    /** The "path" of a setacl request. */
    public static String setRequestPath(Map<String, Object> request) {
        requireOnly(request, "the setacl request", SET_MEMBERS);
        return path(request);
    }

    /** The whole change of a setacl request, checked before anything is applied. */
    public static AttributeChange change(Map<String, Object> request) {
        requireOnly(request, "the setacl request", SET_MEMBERS);
        List<String> entries = null;
        String owner = null;
        String group = null;
        Integer permission = null;
        Boolean stickyBit = null;
        if (request.containsKey("AclStatus")) {
            Map<String, Object> acl = object(request.get("AclStatus"), "AclStatus");
            requireOnly(acl, "AclStatus", ACL_STATUS_MEMBERS);
            if (acl.containsKey("entries")) entries = AclEntries.validate(strings(acl.get("entries"), "AclStatus.entries"));
            if (acl.containsKey("owner")) owner = name(acl.get("owner"), "AclStatus.owner");
            if (acl.containsKey("group")) group = name(acl.get("group"), "AclStatus.group");
            if (acl.containsKey("permission")) permission = permission(acl.get("permission"));
            if (acl.containsKey("stickyBit")) stickyBit = bool(acl.get("stickyBit"), "AclStatus.stickyBit");
        }
        Map<String, byte[]> xattrs = new LinkedHashMap<>();
        if (request.containsKey("XAttrs")) {
            for (Object item : array(request.get("XAttrs"), "XAttrs")) {
                Map<String, Object> xattr = object(item, "an XAttrs item");
                requireOnly(xattr, "an XAttrs item", XATTR_MEMBERS);
                if (!xattr.containsKey("name")) throw new JsonException("an XAttrs item has no \"name\"");
                if (!xattr.containsKey("value")) throw new JsonException("an XAttrs item has no \"value\" (null removes it)");
                String name = NamespaceStore.normalizeXAttrName(string(xattr.get("name"), "XAttrs name"));
                Object raw = xattr.get("value");
                byte[] value = raw == null ? null : XAttrCodec.decode(string(raw, "XAttrs value"));
                if (value != null) NamespaceStore.checkXAttrSize(name, value);
                if (xattrs.containsKey(name)) throw new IllegalArgumentException("XAttr \"" + name + "\" is given twice");
                xattrs.put(name, value);
            }
        }
        return new AttributeChange(entries, owner, group, permission, stickyBit, Collections.unmodifiableMap(xattrs));
    }

    private static String path(Map<String, Object> request) {
        if (!request.containsKey("path")) throw new JsonException("the request has no \"path\" member");
        return string(request.get("path"), "path");
    }

    private static void requireOnly(Map<String, Object> object, String where, Set<String> allowed) {
        for (String member : object.keySet()) {
            if (!allowed.contains(member)) {
                throw new JsonException("unknown member \"" + member + "\" in " + where + " (known: "
                        + String.join(", ", new java.util.TreeSet<>(allowed)) + ")");
            }
        }
    }

    private static Integer permission(Object value) {
        String text = string(value, "AclStatus.permission");
        if (!text.matches("[0-7]{1,4}")) {
            throw new IllegalArgumentException("Invalid permission \"" + text + "\": expected octal digits, at most 7777");
        }
        return Integer.parseInt(text, 8);
    }

    private static String name(Object value, String what) {
        String text = string(value, what);
        if (text.isEmpty()) throw new IllegalArgumentException(what + " must not be empty");
        XAttrCodec.utf8(text);
        return text;
    }

    private static List<String> strings(Object value, String what) {
        List<String> out = new ArrayList<>();
        for (Object item : array(value, what)) out.add(string(item, what + " item"));
        return out;
    }

    private static String string(Object value, String what) {
        if (!(value instanceof String)) throw new JsonException(what + " must be a JSON string");
        return (String) value;
    }

    private static boolean bool(Object value, String what) {
        if (!(value instanceof Boolean)) throw new JsonException(what + " must be true or false");
        return (Boolean) value;
    }

    @SuppressWarnings("unchecked")
    private static Map<String, Object> object(Object value, String what) {
        if (!(value instanceof Map)) throw new JsonException(what + " must be a JSON object");
        return (Map<String, Object>) value;
    }

    private static List<?> array(Object value, String what) {
        if (!(value instanceof List)) throw new JsonException(what + " must be a JSON array");
        return (List<?>) value;
    }
}
