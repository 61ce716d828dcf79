package webserver;

import dxutil.AttributeChange;
import dxutil.AttributeState;
import java.io.IOException;

/**
 * Where ACLs and extended attributes are read and written: HDFS through Hadoop's client API, or
 * the localcluster stand-in's namespace directory. Both take and give the same values, so one
 * set of answers (and one contract test suite) serves both.
 */
interface AttributeBackend {
    AttributeState read(String hdfsPath) throws IOException;

    /** Applies a change checked beforehand and returns the resulting state. */
    AttributeState apply(String hdfsPath, AttributeChange change) throws IOException;
}
