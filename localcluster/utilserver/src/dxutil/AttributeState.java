package dxutil;

import java.util.List;
import java.util.SortedMap;

/**
 * What the service reports for one path: the extended ACL entries, owner, group, the mode bits
 * (07777, sticky bit included) and the HDFS extended attributes by name.
 */
public record AttributeState(
        List<String> aclEntries, String owner, String group, int mode, SortedMap<String, byte[]> xattrs) {}
