// SPDX-License-Identifier: MIT
package nimbets.libNimbet;

import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.util.ArrayList;
import java.util.List;
import java.util.Set;

import org.junit.jupiter.api.Test;

/**
 * Every native method called with null handles, null arrays, null strings and zeros answers
 * with a result or one of the binding's exceptions; none may bring the JVM down.
 */
class NullArgumentSweepTest extends NativeTestSupport {
    private static final Set<Class<?>> RAISED = Set.of(IllegalArgumentException.class,
            NullPointerException.class, UnknownError.class, RuntimeException.class);

    private static Object zero(Class<?> type) {
        if (type == long.class) {
            return 0L;
        }
        if (type == int.class) {
            return 0;
        }
        if (type == short.class) {
            return (short) 0;
        }
        return null;
    }

    @Test
    void everyNativeMethodSurvivesNullAndZeroArguments() throws Exception {
        List<String> called = new ArrayList<>();
        for (Method m : libnimbetJNI.class.getDeclaredMethods()) {
            if (!Modifier.isNative(m.getModifiers())) {
                continue;
            }
            Class<?>[] types = m.getParameterTypes();
            Object[] args = new Object[types.length];
            for (int i = 0; i < types.length; i++) {
                args[i] = zero(types[i]);
            }
            m.setAccessible(true);
            try {
                Object result = m.invoke(null, args);
                releaseMade(m, result);
            } catch (InvocationTargetException e) {
                Throwable cause = e.getCause();
                if (!RAISED.contains(cause.getClass())) {
                    fail(m.getName() + " raised " + cause);
                }
            }
            called.add(m.getName());
        }
        assertTrue(called.size() >= 111, "all native methods called: " + called.size());
    }

    /** A constructor that needs no argument (the packet) made a record: give it back. */
    private static void releaseMade(Method m, Object result) throws Exception {
        if (m.getName().startsWith("new_") && result instanceof Long && (Long) result != 0) {
            String cls = m.getName().substring(4).replaceAll("__SWIG_\\d$", "");
            Method delete = libnimbetJNI.class.getDeclaredMethod("delete_" + cls, long.class);
            delete.setAccessible(true);
            delete.invoke(null, result);
        }
    }
}
