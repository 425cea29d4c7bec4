package com.norvale.loader.zek;

import java.lang.management.ManagementFactory;
import java.util.Optional;

// Test main class: reports on the standard output what reached it through
// the launcher, one "key=value" line each. The argument "throw" makes main
// end with an exception.
public class ZekLoader {
    private static void report(String key, Object value) {
        System.out.println(key + "=" + value);
    }

    private static void reportAccess(String module, String pkg) {
        Module unnamed = ZekLoader.class.getModule();
        Optional<Module> found = ModuleLayer.boot().findModule(module);
        report("opens " + module + "/" + pkg, found.isPresent() && found.get().isOpen(pkg, unnamed));
        report("exports " + module + "/" + pkg,
               found.isPresent() && found.get().isExported(pkg, unnamed));
    }

    public static void main(String[] args) {
        for (String arg : args) report("arg", arg);
        for (String option : ManagementFactory.getRuntimeMXBean().getInputArguments())
            report("jvm", option);
        for (String name : new String[] {"java.class.path", "jdk.module.path",
                                         "java.rmi.server.hostname", "sun.rmi.server.logLevel",
                                         "java.rmi.server.logCalls", "sun.rmi.client.logCalls",
                                         "sun.rmi.transport.tcp.logLevel", "zek.probe"})
            report("property " + name, System.getProperty(name));
        report("heap MiB", Runtime.getRuntime().maxMemory() / (1024 * 1024));
        for (String module : new String[] {"javafx.web", "javafx.media", "javafx.swing",
                                           "javafx.graphics"})
            report("module " + module, ModuleLayer.boot().findModule(module).isPresent());
        reportAccess("javafx.graphics", "com.sun.javafx.embed");
        reportAccess("javafx.swing", "javafx.embed.swing");
        reportAccess("java.desktop", "java.awt");
        reportAccess("java.base", "java.lang");
        reportAccess("java.base", "java.nio");
        report("thread", Thread.currentThread().getName());
        for (String arg : args)
            if (arg.equals("throw")) throw new IllegalStateException("main of the test loader failed");
    }
}
