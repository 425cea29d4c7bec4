package com.sun.javafx.embed;

public class EmbedStub {
}
