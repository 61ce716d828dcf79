# Shared code of the localcluster stand-ins for the Hadoop client programs (POSIX sh, sourced,
# not run). See README.md beside this file for the layout and the switches.
#
# A stand-in finds its installation from the path it was started by, after resolving symbolic
# links to the program file itself: the installation is the directory above the `bin`
# directory that holds it. An installation may also hold small wrapper programs that set
# LOCALCLUSTER_HOME and run the stand-in from here; LOCALCLUSTER_HOME then names it.

lc_resolve_self() {
    lc_self=$(readlink -f -- "$0" 2>/dev/null) || lc_self=$0
    [ -n "$lc_self" ] || lc_self=$0
}

# Sets LC_HOME, the installation directory.
lc_find_home() {
    if [ -n "${LOCALCLUSTER_HOME:-}" ]; then
        LC_HOME=$LOCALCLUSTER_HOME
    else
        lc_resolve_self
        LC_HOME=$(cd -P -- "$(dirname -- "$lc_self")/.." 2>/dev/null && pwd -P) || LC_HOME=
    fi
}

# Sets LC_CONF for the Hadoop programs: $HADOOP_CONF_DIR, else the installation's etc/hadoop,
# else its conf directory. An empty LC_CONF means there is no configuration directory.
lc_find_hadoop_conf() {
    if [ -n "${HADOOP_CONF_DIR:-}" ]; then
        LC_CONF=$HADOOP_CONF_DIR
    elif [ -d "$LC_HOME/etc/hadoop" ]; then
        LC_CONF=$LC_HOME/etc/hadoop
    elif [ -d "$LC_HOME/conf" ]; then
        LC_CONF=$LC_HOME/conf
    else
        LC_CONF=
    fi
}

# Sets LC_HBASE_CONF: $HBASE_CONF_DIR, else the installation's etc/hbase, else its conf directory.
lc_find_hbase_conf() {
    if [ -n "${HBASE_CONF_DIR:-}" ]; then
        LC_HBASE_CONF=$HBASE_CONF_DIR
    elif [ -d "$LC_HOME/etc/hbase" ]; then
        LC_HBASE_CONF=$LC_HOME/etc/hbase
    elif [ -d "$LC_HOME/conf" ]; then
        LC_HBASE_CONF=$LC_HOME/conf
    else
        LC_HBASE_CONF=
    fi
}

# lc_switches DIR NAME DEFAULT_STATUS DEFAULT_MESSAGE
# Applies the test switches for sub-command NAME, files in DIR:
#   sleep-NAME   sleep that many seconds (600 when the file is empty) before anything else
#   stderr-NAME  its content is written to standard error, then the command goes on
#   fail-NAME    fail: its content (or DEFAULT_MESSAGE) to standard error, exit DEFAULT_STATUS
#   status-NAME  the exit status used by fail-NAME instead of DEFAULT_STATUS
#   empty-NAME   print nothing, exit 0
#   output-NAME  print its content verbatim instead of the normal output, exit 0
# Returns only when the normal output should follow.
lc_switches() {
    lc_dir=$1 lc_name=$2 lc_status=$3 lc_message=$4
    [ -n "$lc_dir" ] || return 0
    if [ -f "$lc_dir/sleep-$lc_name" ]; then
        lc_secs=$(cat "$lc_dir/sleep-$lc_name")
        sleep "${lc_secs:-600}"
    fi
    if [ -f "$lc_dir/stderr-$lc_name" ]; then
        cat "$lc_dir/stderr-$lc_name" >&2
    fi
    if [ -f "$lc_dir/fail-$lc_name" ]; then
        if [ -s "$lc_dir/fail-$lc_name" ]; then
            cat "$lc_dir/fail-$lc_name" >&2
        else
            printf '%s\n' "$lc_message" >&2
        fi
        if [ -s "$lc_dir/status-$lc_name" ]; then
            lc_status=$(cat "$lc_dir/status-$lc_name")
        fi
        exit "$lc_status"
    fi
    if [ -f "$lc_dir/empty-$lc_name" ]; then
        exit 0
    fi
    if [ -f "$lc_dir/output-$lc_name" ]; then
        cat "$lc_dir/output-$lc_name"
        exit 0
    fi
    return 0
}

# Sets JAVA_HOME the way the real launchers do: the environment's value, overridden by an
# assignment in the configuration directory's environment script (DIR/NAME-env.sh), which is
# sourced as the real programs source it.
lc_load_env_script() {
    if [ -n "$1" ] && [ -f "$1/$2" ]; then
        # shellcheck disable=SC1090
        . "$1/$2"
    fi
}

# Reads a class path file: its lines joined with ":", empty lines dropped.
lc_read_classpath_file() {
    awk 'NF { out = out (n++ ? ":" : "") $0 } END { print out }' "$1"
}

# Expands the wildcard entries of a class path as the Java launcher does: an entry "DIR/*"
# becomes the .jar and .JAR files of DIR (none when there are none); other entries stay,
# duplicates included. Prints one line.
lc_glob_classpath() {
    printf '%s\n' "$1" | tr ':' '\n' | {
        lc_out= lc_n=0
        while IFS= read -r lc_entry; do
            case $lc_entry in
            '') continue ;;
            '*' | */'*')
                lc_dir=${lc_entry%'*'}
                for lc_jar in "$lc_dir"*.jar "$lc_dir"*.JAR; do
                    [ -f "$lc_jar" ] || continue
                    if [ "$lc_n" -gt 0 ]; then lc_out=$lc_out:; fi
                    lc_out=$lc_out$lc_jar lc_n=$((lc_n + 1))
                done
                ;;
            *)
                if [ "$lc_n" -gt 0 ]; then lc_out=$lc_out:; fi
                lc_out=$lc_out$lc_entry lc_n=$((lc_n + 1))
                ;;
            esac
        done
        printf '%s\n' "$lc_out"
    }
}

# The class path: the configuration directory's `classpath` file, or the layout of an Apache
# Hadoop 3 installation (which lists common/lib twice here, as real installations often list
# an entry twice), followed by $HADOOP_CLASSPATH as the real program appends it.
lc_hadoop_classpath() {
    if [ -n "$LC_CONF" ] && [ -f "$LC_CONF/classpath" ]; then
        lc_read_classpath_file "$LC_CONF/classpath"
        return 0
    fi
    lc_share=$LC_HOME/share/hadoop
    lc_cp="$LC_CONF:$lc_share/common/lib/*:$lc_share/common/*:$lc_share/hdfs:$lc_share/hdfs/lib/*:$lc_share/hdfs/*"
    lc_cp="$lc_cp:$lc_share/mapreduce/*:$lc_share/common/lib/*"
    if [ -n "${HADOOP_CLASSPATH:-}" ]; then
        lc_cp="$lc_cp:$HADOOP_CLASSPATH"
    fi
    printf '%s\n' "$lc_cp"
}

# Prints a class path (CLASSPATH-like colon list), expanded when the arguments hold --glob.
lc_print_classpath() {
    lc_cp=$1
    shift
    for lc_arg in "$@"; do
        case $lc_arg in
        --glob | -glob)
            lc_glob_classpath "$lc_cp"
            return 0
            ;;
        esac
    done
    printf '%s\n' "$lc_cp"
}

# lc_envvar NAME VALUE: one line of the envvars listing, NAME='VALUE'.
lc_envvar() {
    printf "%s='%s'\n" "$1" "$2"
}

# Prints the merged configuration of the given site files the way
# `hadoop org.apache.hadoop.conf.Configuration` writes it (Configuration.writeXml): the XML
# declaration and <configuration> on the first line, one <property> per line with its
# <name>, <value>, <final> and <source>, then </configuration> without a final newline.
# A later file overrides an earlier one unless the earlier definition is final. With ONE_LINE
# non-empty everything is printed on one line.
lc_print_configuration() {
    lc_one_line=$1
    shift
    lc_files=
    for lc_f in "$@"; do
        [ -f "$lc_f" ] && lc_files="$lc_files
$lc_f"
    done
    printf '%s\n' "$lc_files" | awk -v one_line="$lc_one_line" '
        function tag(block, t,   i, rest, j) {
            i = index(block, "<" t ">")
            if (i == 0) return ""
            rest = substr(block, i + length(t) + 2)
            j = index(rest, "</" t ">")
            if (j == 0) return ""
            return substr(rest, 1, j - 1)
        }
        function trim(s) {
            sub(/^[ \t\r\n]+/, "", s)
            sub(/[ \t\r\n]+$/, "", s)
            return s
        }
        function xml_text(s,   out, i, j, cdata) {
            # CDATA sections are written back as escaped text; &quot; and &apos; need no
            # escaping in element content and are written as the characters themselves.
            out = ""
            while ((i = index(s, "<![CDATA[")) > 0) {
                out = out substr(s, 1, i - 1)
                s = substr(s, i + 9)
                j = index(s, "]]>")
                if (j == 0) { cdata = s; s = "" } else { cdata = substr(s, 1, j - 1); s = substr(s, j + 3) }
                gsub(/&/, "\\&amp;", cdata); gsub(/</, "\\&lt;", cdata); gsub(/>/, "\\&gt;", cdata)
                out = out cdata
            }
            s = out s
            gsub(/&quot;/, "\"", s)
            gsub(/&apos;/, "'\''", s)
            return s
        }
        function strip_comments(s,   i, j, rest) {
            while ((i = index(s, "<!--")) > 0) {
                rest = substr(s, i + 4)
                j = index(rest, "-->")
                if (j == 0) return substr(s, 1, i - 1)
                s = substr(s, 1, i - 1) substr(rest, j + 3)
            }
            return s
        }
        function load(file,   line, text, i, e, block, name, value, fin, src) {
            text = ""
            while ((getline line < file) > 0) text = text line "\n"
            close(file)
            text = strip_comments(text)
            src = file
            sub(/.*\//, "", src)
            while ((i = index(text, "<property>")) > 0) {
                text = substr(text, i + 10)
                e = index(text, "</property>")
                if (e == 0) break
                block = substr(text, 1, e - 1)
                text = substr(text, e + 11)
                name = trim(tag(block, "name"))
                if (name == "") continue
                value = xml_text(tag(block, "value"))
                fin = trim(tag(block, "final")) == "true" ? "true" : "false"
                if (name in final_of) {
                    if (final_of[name] == "true") continue
                } else {
                    order[++count] = name
                }
                value_of[name] = value
                final_of[name] = fin
                source_of[name] = src
            }
        }
        NF { load($0) }
        END {
            nl = one_line != "" ? "" : "\n"
            printf "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?><configuration>%s", nl
            for (k = 1; k <= count; k++) {
                name = order[k]
                value = value_of[name] == "" ? "<value/>" : "<value>" value_of[name] "</value>"
                printf "<property><name>%s</name>%s<final>%s</final><source>%s</source></property>%s", \
                    name, value, final_of[name], source_of[name], nl
            }
            printf "</configuration>"
        }'
}

# Prints encryption zones (lines "<zone root><TAB><key name>" of FILE; empty lines and lines
# starting with "#" are skipped) as `hdfs crypto -listZones` does: a table without headings in
# which every column is padded with blanks to one more than its widest cell and the columns are
# separated by one blank, followed by an empty line (the listing is printed with println).
# Without zones the output is that empty line alone.
lc_print_zones() {
    if [ ! -f "$1" ]; then
        echo
        return 0
    fi
    awk -F '\t' '
        BEGIN { n = 0; wz = 0; wk = 0 }
        /^#/ || $1 == "" { next }
        {
            zone[n] = $1; key[n] = $2; n++
            if (length($1) > wz) wz = length($1)
            if (length($2) > wk) wk = length($2)
        }
        END {
            fmt = "%-" (wz + 1) "s %-" (wk + 1) "s\n"
            for (i = 0; i < n; i++) printf fmt, zone[i], key[i]
            print ""
        }' "$1"
}
