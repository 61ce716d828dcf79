package dxutil;

import java.util.ArrayList;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * ACL entries in WebHDFS text form: [default:]type:name:permissions, type one of user, group,
 * mask, other; name empty for the base entries and always empty for mask and other; permissions
 * three characters from "rwx" with '-' for an absent right ("r-x").
 *
 * <p>They are kept joined with "," in one extended attribute, so a name may hold neither ','
 * nor ':'.
 */
public final class AclEntries {
    private static final Pattern ENTRY =
            Pattern.compile("(default:)?(user|group|mask|other):([^:,]*):([r-][w-][x-])");

    private AclEntries() {}

    /** Checks every entry and refuses two entries of the same scope, type and name. */
    public static List<String> validate(List<String> entries) {
        Set<String> seen = new HashSet<>();
        for (String entry : entries) {
            Matcher m = ENTRY.matcher(entry);
            if (!m.matches()) throw new IllegalArgumentException("Invalid ACL entry: \"" + entry + "\"");
            String type = m.group(2);
            String name = m.group(3);
            if (!name.isEmpty() && (type.equals("mask") || type.equals("other"))) {
                throw new IllegalArgumentException("Invalid ACL entry: \"" + entry + "\" (" + type + " takes no name)");
            }
            String key = (m.group(1) == null ? "" : "default:") + type + ":" + name;
            if (!seen.add(key)) {
                throw new IllegalArgumentException(
                        "Invalid ACL: multiple entries with same scope, type and name: " + key);
            }
        }
        return List.copyOf(entries);
    }

    public static String join(List<String> entries) {
        return String.join(",", entries);
    }

    public static List<String> split(String stored) {
        List<String> entries = new ArrayList<>();
        for (String entry : stored.split(",")) {
            if (!entry.isEmpty()) entries.add(entry);
        }
        return entries;
    }
}
