package com.norvale.loader.zek;

// A main class whose main method has the wrong signature for a launcher.
public class ZekLoader {
    public static void main(String arg) {
        System.out.println("wrong main ran: " + arg);
    }
}
