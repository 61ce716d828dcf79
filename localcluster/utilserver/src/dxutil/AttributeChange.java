package dxutil;

import java.util.List;
import java.util.Map;

/**
 * A validated change to one path. A null field keeps what is there. An empty ACL entry list
 * removes the extended ACL; an extended attribute mapped to null is removed. {@code permission}
 * holds mode bits (at most 07777); {@code stickyBit}, when given, sets or clears 01000 after it.
 */
public record AttributeChange(
        List<String> aclEntries,
        String owner,
        String group,
        Integer permission,
        Boolean stickyBit,
        Map<String, byte[]> xattrs) {}
