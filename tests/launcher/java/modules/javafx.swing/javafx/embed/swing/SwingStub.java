package javafx.embed.swing;

public class SwingStub {
}
