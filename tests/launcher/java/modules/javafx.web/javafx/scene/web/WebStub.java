package javafx.scene.web;

public class WebStub {
}
