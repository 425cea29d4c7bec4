package javafx.scene.media;

public class MediaStub {
}
